// make demo end to end: the simulator starts the real panel on its pseudo-terminal inside
// a namespace and reads what it sends; and the launcher never starts the panel when the
// stand-in is not in place over /dev/ttyS0.
#include "layout.h"
#include "real_program.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <optional>

namespace servo::sim {
namespace {

    using namespace std::chrono_literals;
    using test::Display;
    using test::Output;

    struct Frame {
        int channel = 0;
        int value = 0;
        qint64 sinceMs = -1;
    };

    // The first ordinary user of this machine, if any.
    std::optional<uid_t> OrdinaryUser()
    {
        std::optional<uid_t> found;
        ::setpwent();
        while (const passwd* p = ::getpwent())
            if (p->pw_uid >= 1000 && p->pw_uid < 60000 && (!found || p->pw_uid < *found))
                found = p->pw_uid;
        ::endpwent();
        return found;
    }

    QStringList AsUser(std::optional<uid_t> uid, const QStringList& command)
    {
        if (!uid)
            return command;
        const QString id = QString::number(*uid);
        return QStringList { QStringLiteral("setpriv"), QStringLiteral("--reuid=") + id,
            QStringLiteral("--regid=") + id, QStringLiteral("--init-groups") }
        + command;
    }

    int Status(const QStringList& command, QString* errors = nullptr,
        const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
    {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(command.first(), command.mid(1));
        if (!p.waitForFinished(30000)) {
            p.kill();
            p.waitForFinished();
            return -1;
        }
        if (errors)
            *errors = QString::fromLocal8Bit(p.readAllStandardError());
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }

    // The ordinary user to run things as; none, with why, when the test cannot become one
    // (a checkout under /root or in a private temporary folder is out of its reach).
    std::optional<uid_t> UserToBecome(QString& why)
    {
        const std::optional<uid_t> user = OrdinaryUser();
        why = ::getuid() != 0 || !user ? QStringLiteral("needs root and an ordinary user to become")
                                       : QString();
        for (const char* program : { SERVO_SIM_EXE, SERVO_STAND_IN_EXE })
            if (why.isEmpty() && Status(AsUser(user, { "test", "-x", program })) != 0)
                why = QStringLiteral("the build is out of reach of uid %1 (test -x %2 fails)")
                          .arg(*user)
                          .arg(QLatin1String(program));
        return why.isEmpty() ? user : std::nullopt;
    }

    // The stand-in launcher with one mount made to fail or only pretend, as `fault` says
    // (SERVO_REFUSE=target or SERVO_PRETEND=target; see failing_calls.cpp).
    QProcessEnvironment Failing(const char* fault)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(SERVO_FAILING_CALLS));
        // A sanitized build's runtime would insist on being loaded first.
        env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("verify_asan_link_order=0"));
        const QStringList setting = QString::fromLatin1(fault).split(QLatin1Char('='));
        if (setting.size() == 2)
            env.insert(setting.first(), setting.last());
        return env;
    }

    // servo-sim --log, offscreen itself; the panel it starts goes to the test's X server.
    class Simulator {
    public:
        Simulator(const Display& display, std::optional<uid_t> user,
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment())
        {
            env.insert(QStringLiteral("DISPLAY"), display.name());
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
            if (user) {
                env.insert(QStringLiteral("HOME"), m_home.path());
                env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
                // The simulator keeps Qt's settings under HOME: the user must own it.
                EXPECT_EQ(
                    ::chown(m_home.path().toLocal8Bit().constData(), *user, static_cast<gid_t>(-1)),
                    0);
            }
            m_process.setProcessEnvironment(env);
            const QStringList command = AsUser(user,
                { QStringLiteral(SERVO_SIM_EXE), "-platform", "offscreen", "--log",
                    "--exit-with-panel" });
            test::CloseOnExec();
            m_process.start(command.first(), command.mid(1));
            m_process.waitForStarted(10000);
        }
        ~Simulator()
        {
            if (m_process.state() != QProcess::NotRunning) {
                m_process.terminate();
                if (!m_process.waitForFinished(10000))
                    m_process.kill();
                m_process.waitForFinished(5000);
            }
        }
        QProcess& process() { return m_process; }
        QString log() const { return m_log; }

        // The next line of the log that starts with `kind`; empty when none came in time.
        QString next(const QString& kind, std::chrono::milliseconds limit = 60s)
        {
            QElapsedTimer clock;
            clock.start();
            for (;;) {
                while (m_process.canReadLine()) {
                    const QString line = QString::fromLocal8Bit(m_process.readLine()).trimmed();
                    m_log += line + QLatin1Char('\n');
                    if (line.startsWith(kind + QLatin1Char(' ')))
                        return line;
                }
                if (clock.elapsed() > limit.count() || m_process.state() == QProcess::NotRunning)
                    return {};
                m_process.waitForReadyRead(100);
            }
        }
        std::optional<Frame> nextFrame(std::chrono::milliseconds limit = 60s)
        {
            static const QRegularExpression pattern(
                QStringLiteral("^frame t=\\d+ ch=(\\d) value=(-?\\d+) hex=\\S+ since=(\\S+)"));
            const QRegularExpressionMatch m = pattern.match(next(QStringLiteral("frame"), limit));
            if (!m.hasMatch())
                return std::nullopt;
            return Frame { m.captured(1).toInt(), m.captured(2).toInt(),
                m.captured(3) == QLatin1String("-") ? -1 : m.captured(3).toLongLong() };
        }

    private:
        QTemporaryDir m_home;
        QProcess m_process;
        QString m_log;
    };

    class Demo : public test::DisplayTest {
    protected:
        static void SetUpTestSuite()
        {
            StartDisplayUnless(MissingTool({ "Xvfb", "xdotool", "unshare", "setpriv" }));
        }

        void click(const QString& window, const char* control)
        {
            const QRect r = PixelRect(*FindPlacement(control));
            Output(QStringLiteral("xdotool"),
                { "mousemove", "--sync", "--window", window, QString::number(r.center().x()),
                    QString::number(r.center().y()), "click", "1" });
        }

        // The start-up frames, a TEST swing on CH1 and EXIT, as the simulator saw them.
        void runDemo(std::optional<uid_t> user)
        {
            Simulator sim(*s_display, user);
            for (int channel = 1; channel <= 4; ++channel) {
                const std::optional<Frame> f = sim.nextFrame();
                ASSERT_TRUE(f) << sim.log().toStdString()
                               << sim.process().readAllStandardError().toStdString();
                EXPECT_EQ(f->channel, channel);
                EXPECT_EQ(f->value, 50);
            }
            const QStringList windows = s_display->awaitWindows(1, &sim.process());
            ASSERT_EQ(windows.size(), 1) << sim.process().readAllStandardError().toStdString();

            click(windows[0], "Command2");
            const std::optional<Frame> high = sim.nextFrame(10s);
            const std::optional<Frame> low = sim.nextFrame(10s);
            click(windows[0], "Command2");
            ASSERT_TRUE(high && low) << sim.log().toStdString();
            EXPECT_EQ(high->channel, 1);
            EXPECT_EQ(high->value, 255);
            EXPECT_EQ(low->channel, 1);
            EXPECT_EQ(low->value, 96);
            EXPECT_NEAR(low->sinceMs, 1000, 150);

            click(windows[0], "Command1");
            EXPECT_EQ(sim.next(QStringLiteral("ended"), 30s),
                QStringLiteral("ended status=0 ended normally (status 0)."));
            ASSERT_TRUE(sim.process().waitForFinished(30000));
            EXPECT_EQ(sim.process().exitCode(), 0);
            EXPECT_TRUE(sim.log().contains(QStringLiteral("\nline 9600 8N1\n")))
                << sim.log().toStdString();
            EXPECT_FALSE(sim.log().contains(QStringLiteral("\ninvalid ")))
                << sim.log().toStdString();
            // The panel's runtime directory is its own, whoever it runs as: Qt has nothing to
            // say of it, beyond the simulator's own notice of none set (the test sets none).
            const QString printed = QString::fromLocal8Bit(sim.process().readAllStandardError());
            EXPECT_FALSE(printed.contains(QStringLiteral("is not owned by")))
                << printed.toStdString();
            EXPECT_LE(printed.count(QStringLiteral("XDG_RUNTIME_DIR not set")), 1)
                << printed.toStdString();
        }
    };

    // Root gets a plain mount namespace; anyone else a user namespace as well.
    // Whoever cannot have a user namespace here (a chroot refuses them, as may a hardened
    // kernel) gets the launcher's own report instead, which its own test checks.
    QString UserNamespaceRefused(std::optional<uid_t> user)
    {
        QString why;
        if (Status(
                AsUser(user, { "unshare", "--user", "--map-root-user", "--mount", "true" }), &why)
            == 0)
            return {};
        return why.trimmed().isEmpty() ? QStringLiteral("refused") : why.trimmed();
    }

    TEST_F(Demo, AsWhoeverRunsTheTests)
    {
        if (::getuid() != 0) {
            const QString refused = UserNamespaceRefused(std::nullopt);
            if (!refused.isEmpty())
                GTEST_SKIP() << "user namespaces are refused here: " << refused.toStdString();
        }
        runDemo(std::nullopt);
    }

    // The demo run as root, becoming the machine's first ordinary user: a suite of its own, as
    // it needs both (its CTest label says so).
    class DemoAsAnOrdinaryUser : public Demo { };

    TEST_F(DemoAsAnOrdinaryUser, Runs)
    {
        QString why;
        const std::optional<uid_t> user = UserToBecome(why);
        if (!user)
            GTEST_SKIP() << why.toStdString();
        const QString refused = UserNamespaceRefused(user);
        if (!refused.isEmpty())
            GTEST_SKIP() << "user namespaces are refused to uid " << *user << ": "
                         << refused.toStdString();
        runDemo(user);
    }

    // A launcher whose mounts fail or pretend, and a "panel" that only leaves a mark:
    // whatever goes wrong, the panel must not run.
    TEST(Launcher, StartsThePanelOnlyOnTheStandIn)
    {
        if (::getuid() != 0)
            GTEST_SKIP() << "runs the launcher as root";
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master, 0);
        ASSERT_EQ(::grantpt(master), 0);
        ASSERT_EQ(::unlockpt(master), 0);
        const QString slave = QString::fromLocal8Bit(::ptsname(master));

        struct Row {
            const char* name;
            const char* fault; // see Failing()
            int status;
            const char* says;
            bool noNode = false; // started where /dev has no ttyS0, as in a container
        };
        const Row rows[] = {
            { "everything in place", "", 0, "" },
            { "bind refused", "SERVO_REFUSE=/dev/ttyS0", 98, "cannot bind " },
            { "bind pretended", "SERVO_PRETEND=/dev/ttyS0", 98, "/dev/ttyS0 is not " },
            { "no private locks", "SERVO_REFUSE=/run/lock", 98, "cannot make /run/lock private" },
            { "no /dev/ttyS0 node", "", 0, "", true },
            { "no /dev/ttyS0 node, bind refused", "SERVO_REFUSE=/dev/ttyS0", 98, "cannot bind ",
                true },
        };
        for (const Row& row : rows) {
            SCOPED_TRACE(row.name);
            QTemporaryDir dir;
            QFile panel(dir.filePath(QStringLiteral("panel")));
            ASSERT_TRUE(panel.open(QIODevice::WriteOnly));
            panel.write(
                QStringLiteral("#!/bin/sh\n{ stat -L -c %t:%T /dev/ttyS0; test -c /dev/null "
                               "&& echo null; } > %1/ran\n")
                    .arg(dir.path())
                    .toLocal8Bit());
            panel.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
            panel.close();

            QStringList command { SERVO_STAND_IN_EXE, "--line", slave, panel.fileName() };
            if (row.noNode) // the launcher itself, with no line, makes such a /dev
                command.prepend(QStringLiteral(SERVO_STAND_IN_EXE));
            QString errors;
            EXPECT_EQ(Status(command, &errors, Failing(row.fault)), row.status)
                << errors.toStdString();
            EXPECT_TRUE(errors.contains(QLatin1String(row.says))) << errors.toStdString();
            QFile ran(dir.filePath(QStringLiteral("ran")));
            if (row.status == 0) {
                // The panel saw the terminal as /dev/ttyS0.
                ASSERT_TRUE(ran.open(QIODevice::ReadOnly));
                struct stat info { };
                ::stat(slave.toLocal8Bit().constData(), &info);
                EXPECT_EQ(ran.readAll().trimmed(),
                    QStringLiteral("%1:%2\nnull")
                        .arg(major(info.st_rdev), 0, 16)
                        .arg(minor(info.st_rdev), 0, 16)
                        .toLatin1());
            } else {
                EXPECT_FALSE(ran.exists()) << "the panel ran";
            }
        }
        ::close(master);
    }

    TEST_F(DemoAsAnOrdinaryUser, SaysWhenUserNamespacesAreRefused)
    {
        QString why;
        const std::optional<uid_t> user = UserToBecome(why);
        if (!user)
            GTEST_SKIP() << why.toStdString();
        // Allowed the namespace but not to mount in it, as some hardened systems do.
        Simulator sim(*s_display, user, Failing("SERVO_REFUSE=/run/lock"));
        EXPECT_EQ(sim.next(QStringLiteral("ended")).toStdString(), "ended status=97 not started.");
        ASSERT_TRUE(sim.process().waitForFinished(30000));
        EXPECT_EQ(sim.process().exitCode(), 97);
        EXPECT_FALSE(sim.log().contains(QStringLiteral("\nframe "))) << sim.log().toStdString();
        const QString errors = QString::fromLocal8Bit(sim.process().readAllStandardError());
        EXPECT_TRUE(errors.contains(QStringLiteral("Operation not permitted")))
            << errors.toStdString();
        EXPECT_TRUE(errors.contains(QStringLiteral("sudo --preserve-env=DISPLAY,XAUTHORITY ")))
            << errors.toStdString();
    }

} // namespace
} // namespace servo::sim
