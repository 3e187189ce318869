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
#include <optional>
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
    const QPoint kExitMiddle(306, 152); // in the window, as drawn at 96 dpi

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
    // Standard streams a launcher or a service left closed.
    enum class Closed { None, OutputAndErrors, All };
    const char* const kClosedNames[] = { "", "_Closed12", "_Closed012" };
    const char* const kCloseThem[] = { "", "exec 1>&- 2>&-", "exec 0<&- 1>&- 2>&-" };

    constexpr int kExitButton = 0;

    struct SignalCase {
        int number; // or the EXIT button clicked
        Line line;
        // The same signal again this long after the first ending (SIGTERM after EXIT).
        std::optional<std::chrono::milliseconds> again {};
        Closed closed = Closed::None;
    };

    std::string CaseName(const SignalCase& c)
    {
        std::string name = c.number ? sigabbrev_np(c.number) : "EXIT";
        name += std::string("_") + kLineNames[static_cast<int>(c.line)];
        if (c.again)
            name += "_AgainAfter" + std::to_string(c.again->count()) + "ms";
        return name + kClosedNames[static_cast<int>(c.closed)];
    }

    void PrintTo(const SignalCase& c, std::ostream* out)
    {
        *out << CaseName(c);
    }

    class EndingSignal : public Ending, public testing::WithParamInterface<SignalCase> { };

    // A signal ends the panel as the title-bar close does: what is queued goes out within
    // the drain's bound, the port and its lock are released, and the status says whether
    // everything was delivered. A failure is reported on standard error only: no box waits
    // for an answer. A second signal (Ctrl-C pressed twice, a service manager's stop) changes
    // nothing: the process never dies of it, and the status is the first ending's. Closed
    // standard streams change nothing either.
    TEST_P(EndingSignal, DeliversWhatIsQueuedAndReleasesThePort)
    {
        const auto [number, line, again, closed] = GetParam();
        Pty pty;
        // Held before the panel starts: its four start-up frames wait behind the line.
        if (line != Line::Idle)
            pty.holdOutput(true);
        Panel panel(*s_display, pty.path(), {}, kCloseThem[static_cast<int>(closed)]);
        expectRunning(panel);
        if (line == Line::Idle) {
            EXPECT_EQ(Hex(pty.read(16, 30s)), Hex(StartUpFrames()));
        }

        QElapsedTimer clock;
        clock.start();
        if (number == kExitButton)
            s_display->click(s_display->windows().value(0), kExitMiddle);
        else
            signal(panel, number);
        if (again) {
            QThread::usleep(again->count() * 1000);
            // It may be gone already (kill then fails).
            ::kill(static_cast<pid_t>(panel.process().processId()), number ? number : SIGTERM);
        }
        if (line == Line::StalledThenResumed) {
            QThread::msleep(500);
            pty.holdOutput(false);
        }
        const int status = panel.awaitEnd(10s);
        const qint64 took = clock.elapsed();
        pty.holdOutput(false);
        const std::string arrived = pty.readAll(300ms);
        std::cout << CaseName(GetParam()) << ": status " << status << " after " << took << " ms; "
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
        // Pressed twice, 0 to 20 ms apart, on an idle panel and while EXIT closes the port; and
        // again while the drain waits for a stalled line, which keeps its bound.
        for (int ms : { 0, 3, 8, 20 })
            cases.push_back({ SIGTERM, Line::Idle, std::chrono::milliseconds(ms) });
        for (int ms : { 0, 5, 15 })
            cases.push_back({ kExitButton, Line::Idle, std::chrono::milliseconds(ms) });
        cases.push_back({ SIGINT, Line::Stalled, 500ms });
        // Nothing the panel opens takes a closed stream's number: the window, the frames, a
        // click and a signal work as ever.
        cases.push_back({ SIGTERM, Line::Idle, {}, Closed::OutputAndErrors });
        cases.push_back({ SIGTERM, Line::Idle, {}, Closed::All });
        cases.push_back({ kExitButton, Line::Idle, {}, Closed::All });
        return cases;
    }

    INSTANTIATE_TEST_SUITE_P(Signals, EndingSignal, testing::ValuesIn(SignalCases()),
        [](const auto& info) { return CaseName(info.param); });

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
            if (line.startsWith("SigCgt:")) {
                const quint64 all
                    = 1ull << (SIGTERM - 1) | 1ull << (SIGINT - 1) | 1ull << (SIGHUP - 1);
                return (line.mid(7).trimmed().toULongLong(nullptr, 16) & all) == all;
            }
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

    // A start-up traced by strace: where the port was claimed ('C', its TIOCEXCL) and set up
    // after it ('I', each further ioctl on it), each start-up frame written ('F'), each ending
    // signal taken, on whichever thread ('S'), and each read of the signal pipe by the panel's
    // main thread `panel` that found one ('R'), in the order they happened.
    // And `lastHandler`: the panel's own rt_sigaction call that puts in its handler for SIGHUP,
    // the last of the three.
    QString StartUpEvents(const QString& log, pid_t panel, int* lastHandler)
    {
        QFile file(log);
        if (!file.open(QIODevice::ReadOnly))
            return QStringLiteral("(no trace)");
        static const QRegularExpression frame(
            QStringLiteral(R"(write\(\d+, "\\x02\\x3[0-3]\\x33\\x32", 4)"));
        static const QRegularExpression pipe(QStringLiteral(R"(pipe2\(\[(\d+), \d+\])"));
        // The check reads up to 16 signal numbers at a time; another thread's call may come
        // between the start of the read and its end.
        static const QRegularExpression read(QStringLiteral(R"(read\((\d+), (<unfinished|))"));
        static const QRegularExpression numbers(
            QStringLiteral(R"("(\\x0f|\\x02|\\x01)+", 16\)\s+= [1-9])"));
        static const QRegularExpression claim(QStringLiteral(R"(ioctl\((\d+), TIOCEXCL)"));
        QString events, port, reading;
        QStringList pipes;
        int handlers = 0;
        for (const QByteArray& raw : file.readAll().split('\n')) {
            const QString line = QString::fromLatin1(raw);
            const bool own = line.split(' ').value(0).toInt() == panel;
            if (own && line.contains(QLatin1String(" rt_sigaction(")) && ++handlers
                && line.contains(QLatin1String("rt_sigaction(SIGHUP, {sa_handler=0x")))
                *lastHandler = handlers;
            if (const auto claimed = claim.match(line); claimed.hasMatch()) {
                events += QLatin1Char('C');
                port = claimed.captured(1);
            } else if (!port.isEmpty() && line.contains(QStringLiteral("ioctl(%1, ").arg(port)))
                events += QLatin1Char('I');
            else if (frame.match(line).hasMatch())
                events += QLatin1Char('F');
            else if (line.contains(" --- SIG"))
                events += QLatin1Char('S');
            else if (const auto made = pipe.match(line); own && made.hasMatch())
                pipes << made.captured(1);
            else if (const auto got = read.match(line); own && got.hasMatch()) {
                reading = got.captured(1);
                if (got.captured(2).isEmpty() && pipes.contains(reading)
                    && numbers.match(line).hasMatch())
                    events += QLatin1Char('R');
            } else if (own && line.contains(QLatin1String("<... read resumed>")))
                if (pipes.contains(reading) && numbers.match(line).hasMatch())
                    events += QLatin1Char('R');
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

        struct Run {
            int number;
            // Sent `delay` after the panel's handlers are in place; or, with `at`, delivered by
            // strace as the panel enters its `when`th call of `at` on the port (ioctl: the open,
            // write: the start-up frames) or anywhere (rt_sigaction), which does not depend on
            // how busy the machine is.
            std::chrono::microseconds delay {};
            const char* at = nullptr;
            int when = 0;
            qint64 sinceHandler = 0; // measured, microseconds: until the kill, or (no kill, no
                                     // `at`) until the frames arrived
            int lastHandler = 0; // the rt_sigaction call that puts in the last handler (no kill)
            int status = -1;
            std::string arrived {};
            QString events {};
            QString errors {};
            bool lockLeft = false;
        };

        // Starts the traced panel and signals it as `run` says; with no signal number, waits for
        // its frames instead and ends it afterwards.
        void start(Run& run)
        {
            Pty pty;
            QTemporaryDir dir;
            const QString log = dir.filePath(QStringLiteral("trace"));
            QStringList trace { "-e", "trace=write,ioctl,read,pipe2,rt_sigaction" };
            if (run.at) {
                trace = QStringList { "-e",
                    QStringLiteral("inject=%1:signal=%2:when=%3")
                        .arg(QLatin1String(run.at), QLatin1String(sigabbrev_np(run.number)))
                        .arg(run.when) };
                if (std::string_view(run.at) != "rt_sigaction")
                    trace << "-P"
                          << "/dev/ttyS0";
            }
            Panel panel(*s_display, pty.path(), {}, {},
                QStringList { QStandardPaths::findExecutable(QStringLiteral("strace")), "-f",
                    "--seccomp-bpf", "-qq", "-xx", "-e", "signal=TERM,INT,HUP", "-o", log }
                    << trace
                    << QStringList { // A sanitized build's leak check stops the world with
                                     // ptrace, which a traced program cannot.
                           "-E",
                           "ASAN_OPTIONS=" + qEnvironmentVariable("ASAN_OPTIONS")
                               + ":detect_leaks=0",
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
            // Signalled as its handlers go in, it may have ended already.
            ASSERT_TRUE(pid && (PanelHandlesSignals(pid) || run.at))
                << panel.errors().toStdString();
            QElapsedTimer since;
            since.start();
            if (run.at) {
                run.status = panel.awaitEnd(30s);
                run.arrived = pty.readAll(100ms);
            } else if (run.number) {
                while (since.nsecsElapsed() < run.delay.count() * 1000) { }
                ::kill(pid, run.number);
                run.sinceHandler = since.nsecsElapsed() / 1000;
                run.status = panel.awaitEnd(30s);
                run.arrived = pty.readAll(100ms);
            } else {
                run.arrived = pty.read(16, 20s);
                run.sinceHandler = since.nsecsElapsed() / 1000;
                ::kill(pid, SIGTERM);
                run.status = panel.awaitEnd(30s);
            }
            run.events = StartUpEvents(log, pid, &run.lastHandler);
            run.errors = panel.errors();
            run.lockLeft = QFileInfo::exists(lockFile());
        }

        // What every ended start-up leaves: whole start-up frames in order, the port released,
        // nothing failed.
        static void expectCleanEnd(const Run& run)
        {
            EXPECT_EQ(run.status, EXIT_SUCCESS) << run.errors.toStdString();
            EXPECT_EQ(run.arrived.size() % 4, 0u) << Hex(run.arrived);
            EXPECT_EQ(Hex(run.arrived), Hex(StartUpFrames().substr(0, run.arrived.size())));
            EXPECT_FALSE(run.lockLeft) << "the port's lock file was left behind";
            EXPECT_FALSE(run.errors.contains(QStringLiteral("port"))) << run.errors.toStdString();
        }

        static inline bool s_noTracer = false;
    };

    // A kill at any moment of start-up, from before the port opens to after the four start-up
    // frames: once the signal has been read, no start-up frame begins; what was sent before
    // stays sent; the port is released and the program ends 0. strace tells when the panel read
    // the signal, against each frame written.
    TEST_F(StartUpSweep, NoFrameAfterAHandledSignal)
    {
        // How long the traced start-up takes here, from the handler to the last frame: the
        // sweep spans it, and a little beyond.
        Run calibration { 0 };
        ASSERT_NO_FATAL_FAILURE(start(calibration));
        ASSERT_EQ(Hex(calibration.arrived), Hex(StartUpFrames()));
        const qint64 span = calibration.sinceHandler * 5 / 4;
        std::cout << "traced start-up: handler to the frames " << calibration.sinceHandler
                  << " us\n";

        constexpr int kRuns = 60;
        const int numbers[] = { SIGTERM, SIGINT, SIGHUP };
        std::map<QString, int> read; // where the signal was read: the events before it
        int beforeClaim = 0;
        for (int i = 0; i < kRuns; ++i) {
            Run run { numbers[i % 3], std::chrono::microseconds(span * i / kRuns) };
            SCOPED_TRACE(testing::Message()
                << "run " << i << ", SIG" << sigabbrev_np(run.number) << " after the handler by "
                << run.delay.count() << " us");
            ASSERT_NO_FATAL_FAILURE(start(run));
            expectCleanEnd(run);
            const qsizetype readAt = run.events.indexOf(QLatin1Char('R'));
            EXPECT_GE(readAt, 0) << "the signal was never read: " << run.events.toStdString();
            EXPECT_FALSE(run.events.mid(readAt).contains(QLatin1Char('F')))
                << "a frame after the signal was read: " << run.events.toStdString();
            EXPECT_TRUE(run.events.left(readAt).contains(QLatin1Char('S')))
                << "read before it was delivered: " << run.events.toStdString();
            EXPECT_EQ(qsizetype(run.arrived.size() / 4), run.events.count(QLatin1Char('F')))
                << run.events.toStdString();
            const QString before
                = run.events.left(readAt).remove(QLatin1Char('S')).remove(QLatin1Char('I'));
            ++read[before];
            beforeClaim += !before.contains(QLatin1Char('C'));
        }
        std::cout << kRuns << " runs; events before the signal was read (C claimed, F frame):";
        for (const auto& [before, count] : read)
            std::cout << " \"" << before.toStdString() << "\" " << count;
        std::cout << "\n";
        // Most of start-up comes before the open: window and fonts.
        EXPECT_GE(beforeClaim, kRuns / 5);

        // The moments after the claim are too short to hit by a clock on a busy machine: there
        // the signal comes with each of the open's calls on the port, and with each frame.
        const QString started = calibration.events.left(calibration.events.indexOf('F'));
        const int opening = 1 + started.count(QLatin1Char('I'));
        for (int when = 1; when <= opening; ++when) {
            Run run { numbers[when % 3], {}, "ioctl", when };
            SCOPED_TRACE(testing::Message()
                << "SIG" << sigabbrev_np(run.number) << " at ioctl " << when << " on the port");
            ASSERT_NO_FATAL_FAILURE(start(run));
            expectCleanEnd(run);
            EXPECT_EQ(Hex(run.arrived), "") << "frames followed the signal";
        }
        for (int when = 1; when <= 4; ++when) {
            Run run { numbers[when % 3], {}, "write", when };
            SCOPED_TRACE(testing::Message()
                << "SIG" << sigabbrev_np(run.number) << " with start-up frame " << when);
            ASSERT_NO_FATAL_FAILURE(start(run));
            expectCleanEnd(run);
            EXPECT_EQ(run.arrived.size(), 4u * when) << "frames followed the signal";
        }
        // A signal that comes as the last of the handlers goes in ends start-up as any other.
        ASSERT_GT(calibration.lastHandler, 0) << "the trace shows no handler for SIGHUP";
        Run handlers { SIGINT, {}, "rt_sigaction", calibration.lastHandler };
        SCOPED_TRACE("SIGINT as the handler for SIGHUP goes in");
        ASSERT_NO_FATAL_FAILURE(start(handlers));
        expectCleanEnd(handlers);
        EXPECT_EQ(Hex(handlers.arrived), "") << "frames followed the signal";
        std::cout << "signalled with each of the open's " << opening
                  << " calls on the port, and with each start-up frame\n";
        EXPECT_GE(opening, 5);
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

    // The adapter is pulled while nobody touches the panel: the report is up within a
    // second, once. It is answered by the operator, or the panel is then ended by a signal,
    // which ends it with the failure already reported and no second report; or another client
    // destroys the report (after the window it blocks, or alone), which counts as its answer.
    enum class Then { Answer, Signal, BoxDestroyed, WindowThenBoxDestroyed };
    const char* const kThenNames[]
        = { "ThenAnswer", "ThenSignal", "ThenBoxDestroyed", "ThenWindowThenBoxDestroyed" };
    void PrintTo(Then then, std::ostream* out)
    {
        *out << kThenNames[int(then)];
    }

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
