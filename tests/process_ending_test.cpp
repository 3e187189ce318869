// The real executable ended from outside: by a signal, by its line hanging up while idle,
// and refused a line another program holds even when run as root.
#include "pty.h"
#include "real_program.h"
#include "servo_frame.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <map>
#include <sys/stat.h>
#include <tuple>

namespace servo {
namespace {

    using namespace std::chrono_literals;
    using test::CloseOnExec;
    using test::Hex;
    using test::Panel;
    using test::Pty;
    using test::StartUpFrames;

    const QString kUndelivered = QStringLiteral(
        "The port /dev/ttyS0 did not take the last frames within 2 seconds; they were not sent.");
    const QString kLost = QStringLiteral("Lost the port /dev/ttyS0: %1")
                              .arg(QString::fromLocal8Bit(std::strerror(EIO)));

    class Ending : public test::RealProgramTest {
    protected:
        static void SetUpTestSuite()
        {
            RealProgramTest::SetUpTestSuite();
            // A run under nohup would hand the panel an ignored SIGHUP, which it keeps.
            for (int number : { SIGTERM, SIGINT, SIGHUP })
                std::signal(number, SIG_DFL);
        }

        QString lockFile() const { return QDir(s_display->locks()).filePath("LCK..ttyS0"); }

        // The panel's window is up, it holds the lock file, and the process id signals reach
        // is the panel's own (the namespace's shell execs it).
        void expectRunning(Panel& panel)
        {
            ASSERT_EQ(s_display->awaitWindows(1, &panel.process()).size(), 1)
                << panel.errors().toStdString();
            const qint64 pid = panel.process().processId();
            // The same file, compared by identity: seen from a chroot the link's text may be
            // the path outside it.
            struct stat running {
            }, built {};
            ASSERT_EQ(
                ::stat(QStringLiteral("/proc/%1/exe").arg(pid).toLocal8Bit().constData(), &running),
                0);
            ASSERT_EQ(::stat(SERVO_PANEL_EXE, &built), 0);
            ASSERT_TRUE(running.st_dev == built.st_dev && running.st_ino == built.st_ino)
                << "the signalled process is not the panel";
            // HDB text, as serial tools read it: the process id in ten places first.
            QFile lock(lockFile());
            ASSERT_TRUE(lock.open(QIODevice::ReadOnly));
            EXPECT_EQ(
                lock.readAll(), QByteArray::number(pid).rightJustified(10, ' ') + " servo-panel\n");
        }

        void signal(Panel& panel, int number)
        {
            // A panel that is not running has no id, and kill(0) would signal the test's group.
            const auto pid = static_cast<pid_t>(panel.process().processId());
            ASSERT_GT(pid, 0) << "the panel is not running";
            ASSERT_EQ(::kill(pid, number), 0);
        }
    };

    enum class Line { Idle, StalledThenResumed, Stalled };
    const char* const kLineNames[] = { "Idle", "StalledThenResumed", "Stalled" };

    struct SignalCase {
        int number;
        Line line;
    };

    void PrintTo(const SignalCase& c, std::ostream* out)
    {
        *out << "SIG" << sigabbrev_np(c.number) << ", " << kLineNames[static_cast<int>(c.line)];
    }

    class EndingSignal : public Ending, public testing::WithParamInterface<SignalCase> { };

    // A signal ends the panel as the title-bar close does: what is queued goes out within
    // the drain's bound, the port and its lock are released, and the status says whether
    // everything was delivered. A failure is reported on standard error only: no box waits
    // for an answer.
    TEST_P(EndingSignal, DeliversWhatIsQueuedAndReleasesThePort)
    {
        const auto [number, line] = GetParam();
        Pty pty;
        // Held before the panel starts: its four start-up frames wait behind the line.
        if (line != Line::Idle)
            pty.holdOutput(true);
        Panel panel(*s_display, pty.path());
        expectRunning(panel);
        if (line == Line::Idle) {
            EXPECT_EQ(Hex(pty.read(16, 30s)), Hex(StartUpFrames()));
        }

        QElapsedTimer clock;
        clock.start();
        signal(panel, number);
        if (line == Line::StalledThenResumed) {
            QThread::msleep(500);
            pty.holdOutput(false);
        }
        const int status = panel.awaitEnd(10s);
        const qint64 took = clock.elapsed();
        pty.holdOutput(false);
        const std::string arrived = pty.readAll(300ms);
        std::cout << sigabbrev_np(number) << ": status " << status << " after " << took << " ms; "
                  << arrived.size() << " bytes arrived after the signal\n";

        const QString errors = panel.errors();
        if (line == Line::Stalled) {
            EXPECT_EQ(status, EXIT_FAILURE);
            EXPECT_EQ(Hex(arrived), "") << "frames went out after the drain gave up";
            EXPECT_EQ(errors.count(kUndelivered), 1) << errors.toStdString();
            EXPECT_GE(took, 1900);
        } else {
            EXPECT_EQ(status, EXIT_SUCCESS);
            EXPECT_EQ(Hex(arrived), line == Line::Idle ? "" : Hex(StartUpFrames()));
            EXPECT_FALSE(errors.contains(QStringLiteral("The port"))) << errors.toStdString();
        }
        // Idle: well inside the drain's 2 s, with room for a sanitized build's slow exit.
        EXPECT_LT(took, line == Line::Idle ? 1800 : 4000) << "the end was not bounded";
        EXPECT_FALSE(errors.contains(QStringLiteral("Lost "))) << errors.toStdString();
        EXPECT_FALSE(QFileInfo::exists(lockFile())) << "the port's lock file was left behind";
    }

    std::vector<SignalCase> SignalCases()
    {
        std::vector<SignalCase> cases;
        for (int number : { SIGTERM, SIGINT, SIGHUP })
            for (Line line : { Line::Idle, Line::StalledThenResumed, Line::Stalled })
                cases.push_back({ number, line });
        return cases;
    }

    std::string CaseName(const testing::TestParamInfo<SignalCase>& info)
    {
        return std::string(sigabbrev_np(info.param.number)) + "_"
            + kLineNames[static_cast<int>(info.param.line)];
    }

    INSTANTIATE_TEST_SUITE_P(Signals, EndingSignal, testing::ValuesIn(SignalCases()), CaseName);

    // Process `pid` is the panel, with its own handler for SIGTERM in place.
    bool PanelHandlesSignals(qint64 pid)
    {
        struct stat built {
        }, running {};
        QFile file(QStringLiteral("/proc/%1/status").arg(pid));
        if (::stat(SERVO_PANEL_EXE, &built) != 0
            || ::stat(QStringLiteral("/proc/%1/exe").arg(pid).toLocal8Bit().constData(), &running)
                != 0
            || running.st_ino != built.st_ino || !file.open(QIODevice::ReadOnly))
            return false;
        for (const QByteArray& line : file.readAll().split('\n'))
            if (line.startsWith("SigCgt:"))
                return ((line.mid(7).trimmed().toULongLong(nullptr, 16) >> (SIGTERM - 1)) & 1) != 0;
        return false;
    }

    // A kill that comes while the window is still being built, before the port is open,
    // ends the panel there: nothing opens, no servo moves, and nothing failed.
    TEST_F(Ending, SignalBeforeThePortOpensMovesNothing)
    {
        Pty pty;
        Panel panel(*s_display, pty.path());
        // The namespace's shell execs the panel; the kill goes the moment the panel's own
        // handler is in place, while the window is still being built.
        const auto handling = [&] { return PanelHandlesSignals(panel.process().processId()); };
        QElapsedTimer clock;
        clock.start();
        while (!handling() && clock.elapsed() < 10000)
            QThread::usleep(200);
        ASSERT_TRUE(handling()) << panel.errors().toStdString();
        signal(panel, SIGTERM);

        EXPECT_EQ(panel.awaitEnd(10s), EXIT_SUCCESS) << panel.errors().toStdString();
        EXPECT_EQ(Hex(pty.readAll(300ms)), "") << "the port was opened after the kill";
        EXPECT_FALSE(QFileInfo::exists(lockFile()));
        EXPECT_FALSE(panel.errors().contains(QStringLiteral("port")))
            << panel.errors().toStdString();
    }

    // A start-up traced by strace: where the port was claimed ('C', its TIOCEXCL), each
    // start-up frame written ('F'), and each ending signal the main thread `panel` takes ('S'),
    // in the order they happened.
    QString StartUpEvents(const QString& log, pid_t panel)
    {
        QFile file(log);
        if (!file.open(QIODevice::ReadOnly))
            return QStringLiteral("(no trace)");
        static const QRegularExpression frame(
            QStringLiteral(R"(write\(\d+, "\\x02\\x3[0-3]\\x33\\x32", 4)"));
        QString events;
        for (const QByteArray& raw : file.readAll().split('\n')) {
            const QString line = QString::fromLatin1(raw);
            if (line.contains(QLatin1String("TIOCEXCL")))
                events += QLatin1Char('C');
            else if (frame.match(line).hasMatch())
                events += QLatin1Char('F');
            else if (line.contains(" --- SIG") && line.split(' ').value(0).toInt() == panel)
                events += QLatin1Char('S');
        }
        return events;
    }

    class StartUpSweep : public Ending {
    protected:
        static void SetUpTestSuite()
        {
            Ending::SetUpTestSuite();
            if (s_missing.isEmpty() && QStandardPaths::findExecutable("strace").isEmpty())
                s_noTracer = true;
        }
        void SetUp() override
        {
            Ending::SetUp();
            if (s_noTracer)
                GTEST_SKIP() << "no strace";
        }

        enum class From { Handler, Lock };
        struct Run {
            int number;
            From from; // the moment the delay counts from: the panel's handler in place, or
                       // the port's lock file made (the open has begun)
            std::chrono::microseconds delay;
            qint64 sinceHandler = 0, sinceLock = -1; // measured, microseconds: until the kill,
                                                     // or (no kill) until the frames arrived
            int status = -1;
            std::string arrived {};
            QString events {};
            QString errors {};
            bool lockLeft = false;
        };

        // Starts the traced panel and kills it `run.delay` after `run.from`; with no signal
        // number, waits for its frames instead and ends it afterwards.
        void start(Run& run)
        {
            Pty pty;
            QTemporaryDir dir;
            const QString log = dir.filePath(QStringLiteral("trace"));
            Panel panel(*s_display, pty.path(), {}, {},
                { QStandardPaths::findExecutable(QStringLiteral("strace")), "-f", "--seccomp-bpf",
                    "-qq", "-xx", "-e", "trace=write,ioctl", "-e", "signal=TERM,INT,HUP", "-o", log,
                    // A sanitized build's leak check stops the world with ptrace, which a
                    // traced program cannot.
                    "-E",
                    "ASAN_OPTIONS=" + qEnvironmentVariable("ASAN_OPTIONS") + ":detect_leaks=0",
                    "--" });
            // The namespace's shell execs strace, which starts the panel.
            const QString children
                = QStringLiteral("/proc/%1/task/%1/children").arg(panel.process().processId());
            QElapsedTimer clock;
            clock.start();
            pid_t pid = 0;
            while (clock.elapsed() < 20000 && !(pid && PanelHandlesSignals(pid))
                && panel.process().state() != QProcess::NotRunning) {
                QFile list(children);
                if (list.open(QIODevice::ReadOnly))
                    pid = list.readAll().split(' ').value(0).toInt();
                QThread::usleep(100);
            }
            ASSERT_TRUE(pid && PanelHandlesSignals(pid)) << panel.errors().toStdString();
            QElapsedTimer since;
            since.start();
            if (run.from == From::Lock) {
                while (!QFileInfo::exists(lockFile()) && since.elapsed() < 20000) { }
                run.sinceHandler = since.nsecsElapsed() / 1000;
                since.start();
            }
            if (run.number) {
                while (since.nsecsElapsed() < run.delay.count() * 1000) { }
                ::kill(pid, run.number);
                (run.from == From::Lock ? run.sinceLock : run.sinceHandler)
                    = since.nsecsElapsed() / 1000;
                run.status = panel.awaitEnd(30s);
                run.arrived = pty.readAll(100ms);
            } else {
                run.arrived = pty.read(16, 20s);
                run.sinceLock = since.nsecsElapsed() / 1000;
                ::kill(pid, SIGTERM);
                run.status = panel.awaitEnd(30s);
            }
            run.events = StartUpEvents(log, pid);
            run.errors = panel.errors();
            run.lockLeft = QFileInfo::exists(lockFile());
        }

        static inline bool s_noTracer = false;
    };

    // A kill at any moment of start-up, from before the port opens to after the four start-up
    // frames: once the panel's handler has run, no frame follows; what was sent before stays
    // sent; the port is released and the program ends 0. strace tells when the handler ran,
    // against each frame written.
    TEST_F(StartUpSweep, NoFrameAfterAHandledSignal)
    {
        // How long the traced start-up takes here, from the handler to the lock file and from
        // the lock file to the last frame: the sweep spans both, and a little beyond.
        Run calibration { 0, From::Lock, {} };
        ASSERT_NO_FATAL_FAILURE(start(calibration));
        ASSERT_EQ(Hex(calibration.arrived), Hex(StartUpFrames()));
        const qint64 toLock = calibration.sinceHandler * 5 / 4;
        const qint64 toFrames = calibration.sinceLock * 3 / 2;
        std::cout << "traced start-up: handler to lock file " << calibration.sinceHandler
                  << " us, lock file to the frames " << calibration.sinceLock << " us\n";

        constexpr int kRuns = 200;
        const int numbers[] = { SIGTERM, SIGINT, SIGHUP };
        std::map<QString, int> handled; // where the handler ran: the events before it
        int afterClaim = 0, beforeClaim = 0;
        for (int i = 0; i < kRuns; ++i) {
            const From from = i % 2 ? From::Lock : From::Handler;
            const qint64 span = from == From::Lock ? toFrames : toLock;
            Run run { numbers[i % 3], from,
                std::chrono::microseconds(span * (i / 2) / (kRuns / 2)) };
            SCOPED_TRACE(testing::Message()
                << "run " << i << ", SIG" << sigabbrev_np(run.number)
                << (from == From::Lock ? " after the lock file by " : " after the handler by ")
                << run.delay.count() << " us");
            ASSERT_NO_FATAL_FAILURE(start(run));
            const qsizetype signalAt = run.events.indexOf(QLatin1Char('S'));
            EXPECT_EQ(run.status, EXIT_SUCCESS) << run.errors.toStdString();
            EXPECT_GE(signalAt, 0) << "the handler never ran: " << run.events.toStdString();
            EXPECT_FALSE(run.events.mid(signalAt).contains(QLatin1Char('F')))
                << "a frame after the handled signal: " << run.events.toStdString();
            // What went out is whole frames of start-up, in order, as the trace says.
            EXPECT_EQ(run.arrived.size() % 4, 0u) << Hex(run.arrived);
            EXPECT_EQ(Hex(run.arrived), Hex(StartUpFrames().substr(0, run.arrived.size())));
            EXPECT_EQ(qsizetype(run.arrived.size() / 4), run.events.count(QLatin1Char('F')))
                << run.events.toStdString();
            EXPECT_FALSE(run.lockLeft) << "the port's lock file was left behind";
            EXPECT_FALSE(run.errors.contains(QStringLiteral("port"))) << run.errors.toStdString();
            const QString before = run.events.left(signalAt);
            ++handled[before];
            if (before.contains(QLatin1Char('C')) && before.count(QLatin1Char('F')) < 4)
                ++afterClaim;
            if (!before.contains(QLatin1Char('C')))
                ++beforeClaim;
        }
        std::cout << kRuns << " runs; events before the handler ran (C claimed, F frame):";
        for (const auto& [before, count] : handled)
            std::cout << " \"" << before.toStdString() << "\" " << count;
        std::cout << "\n";
        // The sweep reached both sides of the open, and start-up after it.
        EXPECT_GE(beforeClaim, 20);
        EXPECT_GE(afterClaim, 20);
    }

    // Another X client destroys the window (`xdotool windowclose`, a window manager crashing
    // with it): the panel ends as the title bar's close ends it. The start-up frames wait
    // behind a held line meanwhile, and still go out.
    TEST_F(Ending, WindowDestroyedByAnotherClientEndsAsTheCloseDoes)
    {
        Pty pty;
        pty.holdOutput(true);
        Panel panel(*s_display, pty.path());
        expectRunning(panel);
        const QString window = s_display->windows().value(0);
        test::Output(QStringLiteral("xdotool"), { "windowclose", window });
        QThread::msleep(500);
        EXPECT_EQ(panel.process().state(), QProcess::Running) << "the queue was not waited for";
        pty.holdOutput(false);
        const int status = panel.awaitEnd(10s);
        EXPECT_EQ(status, EXIT_SUCCESS) << panel.errors().toStdString();
        EXPECT_EQ(Hex(pty.readAll(300ms)), Hex(StartUpFrames()));
        EXPECT_FALSE(QFileInfo::exists(lockFile())) << "the port's lock file was left behind";
    }

    // The X server dies under the panel. Qt ends the program then (status 1, "The X11
    // connection broke"), and what is queued still goes out and the port's lock file goes.
    TEST_F(Ending, XServerLostReleasesThePort)
    {
        auto display = std::make_unique<test::Display>();
        ASSERT_FALSE(display->name().isEmpty()) << "Xvfb did not start";
        Pty pty;
        pty.holdOutput(true);
        Panel panel(*display, pty.path());
        const QString lock = QDir(display->locks()).filePath(QStringLiteral("LCK..ttyS0"));
        const QStringList windows = display->awaitWindows(1, &panel.process());
        qputenv("DISPLAY", s_display->name().toLocal8Bit()); // the suite's display again
        ASSERT_EQ(windows.size(), 1) << panel.errors().toStdString();
        ASSERT_TRUE(QFileInfo::exists(lock));
        display->kill();
        QThread::msleep(500);
        pty.holdOutput(false);
        const int status = panel.awaitEnd(10s);
        const QString errors = panel.errors();
        EXPECT_EQ(status, EXIT_FAILURE) << errors.toStdString();
        EXPECT_TRUE(errors.contains(QStringLiteral("The X11 connection broke")))
            << errors.toStdString();
        EXPECT_EQ(Hex(pty.readAll(300ms)), Hex(StartUpFrames()));
        EXPECT_FALSE(QFileInfo::exists(lock)) << "the port's lock file was left behind";
    }

    // Ctrl-C pressed again while the panel waits for a stalled line: the wait keeps its
    // bound, and the loss is reported once.
    TEST_F(Ending, SecondSignalDuringTheDrain)
    {
        Pty pty;
        pty.holdOutput(true);
        Panel panel(*s_display, pty.path());
        expectRunning(panel);
        QElapsedTimer clock;
        clock.start();
        signal(panel, SIGINT);
        QThread::msleep(500);
        signal(panel, SIGINT);
        const int status = panel.awaitEnd(10s);
        std::cout << "SIGINT twice: status " << status << " after " << clock.elapsed() << " ms\n";
        EXPECT_EQ(status, EXIT_FAILURE);
        EXPECT_LT(clock.elapsed(), 4000);
        EXPECT_EQ(panel.errors().count(kUndelivered), 1) << panel.errors().toStdString();
        EXPECT_FALSE(QFileInfo::exists(lockFile()));
    }

    // The adapter is pulled while nobody touches the panel: the report is up within a
    // second, once. It is answered by the operator, or the panel is then ended by a signal,
    // which ends it with the failure already reported and no second report; or another client
    // destroys the report (after the window it blocks, or alone), which counts as its answer.
    enum class Then { Answer, Signal, BoxDestroyed, WindowThenBoxDestroyed };
    const char* const kThenNames[]
        = { "ThenAnswer", "ThenSignal", "ThenBoxDestroyed", "ThenWindowThenBoxDestroyed" };

    class HangUpWhileIdle : public Ending, public testing::WithParamInterface<Then> { };

    TEST_P(HangUpWhileIdle, ReportedAtOnceThenEndsWithFailure)
    {
        const Then then = GetParam();
        Pty pty;
        Panel panel(*s_display, pty.path());
        expectRunning(panel);
        const QString window = s_display->windows().value(0);
        EXPECT_EQ(Hex(pty.read(16, 30s)), Hex(StartUpFrames()));
        QThread::msleep(500);

        // Woken by the report itself, not by a time-out on standard output.
        panel.process().setReadChannel(QProcess::StandardError);
        QElapsedTimer clock;
        clock.start();
        pty.hangUp();
        while (!panel.errors().contains(kLost) && clock.elapsed() < 5000
            && panel.process().state() == QProcess::Running) { }
        const qint64 reported = clock.elapsed();
        std::cout << "hang-up: reported after " << reported << " ms\n";
        EXPECT_LT(reported, 1000);
        const QStringList windows = s_display->awaitWindows(2, &panel.process(), 10s);
        ASSERT_EQ(windows.size(), 2) << "no report box over the panel";

        if (then == Then::WindowThenBoxDestroyed) {
            test::Output(QStringLiteral("xdotool"), { "windowclose", window });
            QThread::msleep(500);
            EXPECT_EQ(panel.process().state(), QProcess::Running) << "ended past its report";
        }
        const QString box = windows[0] == window ? windows[1] : windows[0];
        clock.restart();
        if (then == Then::Signal)
            signal(panel, SIGTERM);
        else if (then == Then::Answer)
            s_display->key(box, "Return");
        else
            test::Output(QStringLiteral("xdotool"), { "windowclose", box });
        EXPECT_EQ(panel.awaitEnd(10s), EXIT_FAILURE);
        std::cout << "  then ended " << kThenNames[int(then)] << " after " << clock.elapsed()
                  << " ms\n";
        if (then == Then::BoxDestroyed || then == Then::WindowThenBoxDestroyed) {
            EXPECT_LT(clock.elapsed(), 1000);
        }
        const QString errors = panel.errors();
        EXPECT_EQ(errors.count(kLost), 1) << errors.toStdString();
        EXPECT_FALSE(errors.contains(QStringLiteral("The port"))) << errors.toStdString();
        EXPECT_FALSE(QFileInfo::exists(lockFile()));
    }

    INSTANTIATE_TEST_SUITE_P(Port, HangUpWhileIdle,
        testing::Values(
            Then::Answer, Then::Signal, Then::BoxDestroyed, Then::WindowThenBoxDestroyed),
        [](const auto& info) { return kThenNames[int(info.param)]; });

    // A terminal program holds the line in exclusive mode; run as root, which the kernel
    // would let through, the panel is refused all the same and writes nothing. The test has
    // the line open too, so the system cannot say which of the two holds it.
    TEST_F(Ending, HeldExclusivelyRefusedEvenToRoot)
    {
        Pty pty;
        QProcess holder;
        CloseOnExec();
        holder.start(QStringLiteral(SERVO_PORT_HOLDER), { "--exclusive", pty.path() });
        ASSERT_TRUE(holder.waitForReadyRead(10000)) << holder.readAllStandardError().toStdString();
        Panel panel(*s_display, pty.path());
        expectOpenFailure(panel,
            QStringLiteral("Cannot open the port /dev/ttyS0: it is in use by another program (%1).")
                .arg(QString::fromLocal8Bit(std::strerror(EBUSY))));
        EXPECT_EQ(Hex(pty.readAll()), "") << "frames reached a port held by another program";
        holder.closeWriteChannel();
        holder.waitForFinished(5000);
    }

} // namespace
} // namespace servo
