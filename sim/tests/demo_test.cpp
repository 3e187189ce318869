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

    int Status(const QStringList& command, QString* errors = nullptr)
    {
        QProcess p;
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

    // Why `user` cannot use this build: a checkout under /root or in a private temporary
    // folder is out of an ordinary user's reach. Empty when the user can.
    QString OutOfReach(uid_t user)
    {
        const std::pair<const char*, const char*> needs[] = {
            { "-x", SERVO_SIM_EXE }, // started by the user
            { "-r", SERVO_LAUNCHER }, // read by the user's shell
        };
        for (const auto& [access, file] : needs)
            if (Status(AsUser(user, { "test", access, file })) != 0)
                return QStringLiteral("the build is out of reach of uid %1 (test %2 %3 fails)")
                    .arg(user)
                    .arg(QLatin1String(access), QLatin1String(file));
        return {};
    }

    // servo-sim --log, offscreen itself; the panel it starts goes to the test's X server.
    class Simulator {
    public:
        Simulator(const Display& display, std::optional<uid_t> user)
        {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
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

    TEST_F(Demo, AsAnOrdinaryUser)
    {
        const std::optional<uid_t> user = OrdinaryUser();
        if (::getuid() != 0 || !user)
            GTEST_SKIP() << "needs root and an ordinary user to become";
        if (const QString far = OutOfReach(*user); !far.isEmpty())
            GTEST_SKIP() << far.toStdString();
        const QString refused = UserNamespaceRefused(user);
        if (!refused.isEmpty())
            GTEST_SKIP() << "user namespaces are refused to uid " << *user << ": "
                         << refused.toStdString();
        runDemo(user);
    }

    // A "mount" that lets one mount fail or pretend, and a "panel" that only leaves a mark:
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
        const QString realMount = QStandardPaths::findExecutable(QStringLiteral("mount"));

        struct Row {
            const char* name;
            const char* fakeMount; // shell run before the real mount; may exit
            int status;
            const char* says;
            bool noNode = false; // a /dev without ttyS0, as in a container
        };
        const Row rows[] = {
            { "everything in place", "", 0, "" },
            { "bind refused", "case \"$*\" in *ttyS0*) exit 32;; esac", 98, "cannot bind " },
            { "bind pretended", "case \"$*\" in *ttyS0*) exit 0;; esac", 98, "/dev/ttyS0 is not " },
            { "no private locks", "case \"$*\" in *run/lock*) exit 32;; esac", 98,
                "cannot make /run/lock private" },
            { "no /dev/ttyS0 node", "", 0, "", true },
            { "no /dev/ttyS0 node, bind refused", "case \"$*\" in *ttyS0*) exit 32;; esac", 98,
                "cannot bind ", true },
        };
        for (const Row& row : rows) {
            SCOPED_TRACE(row.name);
            QTemporaryDir dir;
            QFile mount(dir.filePath(QStringLiteral("mount")));
            ASSERT_TRUE(mount.open(QIODevice::WriteOnly));
            mount.write(QStringLiteral("#!/bin/sh\n%1\nexec %2 \"$@\"\n")
                            .arg(QLatin1String(row.fakeMount), realMount)
                            .toLocal8Bit());
            mount.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
            mount.close();
            QFile panel(dir.filePath(QStringLiteral("panel")));
            ASSERT_TRUE(panel.open(QIODevice::WriteOnly));
            panel.write(
                QStringLiteral("#!/bin/sh\n{ stat -L -c %t:%T /dev/ttyS0; test -c /dev/null "
                               "&& echo null; } > %1/ran\n")
                    .arg(dir.path())
                    .toLocal8Bit());
            panel.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
            panel.close();

            QProcess launcher;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("PATH"), dir.path() + QLatin1Char(':') + env.value("PATH"));
            launcher.setProcessEnvironment(env);
            if (row.noNode) {
                env.insert(QStringLiteral("OLD"), dir.filePath(QStringLiteral("old")));
                launcher.setProcessEnvironment(env);
                launcher.start(QStringLiteral("unshare"),
                    { "-m", "sh", "-c",
                        "mkdir $OLD && mount --rbind /dev $OLD && mount -t tmpfs none /dev "
                        "&& for n in null ptmx; do touch /dev/$n; mount --bind $OLD/$n "
                        "/dev/$n; done && mkdir /dev/pts && mount --rbind $OLD/pts /dev/pts "
                        "&& test ! -e /dev/ttyS0 && exec /bin/sh \"$0\" \"$@\"",
                        QStringLiteral(SERVO_LAUNCHER), slave, panel.fileName() });
            } else {
                launcher.start(QStringLiteral("/bin/sh"),
                    { QStringLiteral(SERVO_LAUNCHER), slave, panel.fileName() });
            }
            ASSERT_TRUE(launcher.waitForFinished(30000));
            const QString errors = QString::fromLocal8Bit(launcher.readAllStandardError());
            EXPECT_EQ(launcher.exitCode(), row.status) << errors.toStdString();
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

    TEST(Launcher, SaysWhenUserNamespacesAreRefused)
    {
        const std::optional<uid_t> user = OrdinaryUser();
        if (::getuid() != 0 || !user)
            GTEST_SKIP() << "needs root and an ordinary user to become";
        if (const QString far = OutOfReach(*user); !far.isEmpty())
            GTEST_SKIP() << far.toStdString();
        QTemporaryDir dir;
        ::chmod(dir.path().toLocal8Bit().constData(), 0755);
        QFile unshare(dir.filePath(QStringLiteral("unshare")));
        ASSERT_TRUE(unshare.open(QIODevice::WriteOnly));
        unshare.write("#!/bin/sh\necho 'unshare: unshare failed: Operation not permitted' >&2\n"
                      "exit 1\n");
        unshare.close();
        QFile panel(dir.filePath(QStringLiteral("panel")));
        ASSERT_TRUE(panel.open(QIODevice::WriteOnly));
        panel.write(QStringLiteral("#!/bin/sh\ntouch %1/ran\n").arg(dir.path()).toLocal8Bit());
        panel.close();
        for (QFile* f : { &unshare, &panel })
            ::chmod(f->fileName().toLocal8Bit().constData(), 0755);

        QProcess launcher;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PATH"), dir.path() + QLatin1Char(':') + env.value("PATH"));
        launcher.setProcessEnvironment(env);
        const QStringList command = AsUser(
            user, { "/bin/sh", QStringLiteral(SERVO_LAUNCHER), "/dev/tty", panel.fileName() });
        launcher.start(command.first(), command.mid(1));
        ASSERT_TRUE(launcher.waitForFinished(30000));
        const QString errors = QString::fromLocal8Bit(launcher.readAllStandardError());
        EXPECT_EQ(launcher.exitCode(), 97) << errors.toStdString();
        EXPECT_TRUE(errors.contains(QStringLiteral("Operation not permitted")))
            << errors.toStdString();
        EXPECT_TRUE(errors.contains(QStringLiteral("sudo --preserve-env=DISPLAY,XAUTHORITY ")))
            << errors.toStdString();
        EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("ran"))));
    }

} // namespace
} // namespace servo::sim
