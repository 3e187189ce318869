// The real executable on faulty ports; it answers each report with a key press as an
// operator would.
#include "pty.h"
#include "real_program.h"
#include "servo_frame.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <ostream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace servo {
namespace {

    using namespace std::chrono_literals;
    using test::CloseOnExec;
    using test::Display;
    using test::Hex;
    using test::Panel;
    using test::Pty;

    using RealProgram = test::RealProgramTest;

    QString SystemText(int error)
    {
        return QString::fromLocal8Bit(std::strerror(error));
    }

    // Without the first port and without a USB serial adapter nothing is opened: one report
    // says why and lists the ports the system knows (from sysfs, whatever /dev holds).
    TEST_F(RealProgram, DeviceMissing)
    {
        // An empty /dev, as on a machine without the serial port.
        Panel panel(*s_display, {});
        expectOpenFailure(panel,
            QStringLiteral("Cannot open port 1: it has no device. /dev/ttyS0 does not exist (%1), "
                           "and no USB serial adapter was found.\n\nSerial ports found:")
                .arg(SystemText(ENOENT)));
        EXPECT_TRUE(panel.errors().contains(QStringLiteral(
            "Plug in the controller's USB serial adapter and start the panel again.")))
            << panel.errors().toStdString();
    }

    // Another client destroys that report: nothing is left on screen, and that is its answer.
    TEST_F(RealProgram, StartUpReportDestroyedEndsAsAnswered)
    {
        Panel panel(*s_display, {});
        const QStringList windows = s_display->awaitWindows(1, &panel.process());
        ASSERT_EQ(windows.size(), 1) << panel.errors().toStdString();
        QElapsedTimer clock;
        clock.start();
        test::Output(QStringLiteral("xdotool"), { "windowclose", windows[0] });
        EXPECT_EQ(panel.awaitEnd(10s), EXIT_FAILURE);
        EXPECT_LT(clock.elapsed(), 1000);
    }

    // A first port that fails with an input/output error, as the serial driver's placeholders
    // do, is no port 1 either.
    TEST_F(RealProgram, FirstPortWithoutUart)
    {
        Pty first(Pty::NeverUnlocked {});
        Panel panel(*s_display, first.path());
        expectOpenFailure(panel,
            QStringLiteral("Cannot open port 1: it has no device. /dev/ttyS0 has no UART behind it "
                           "(%1), and no USB serial adapter was found.")
                .arg(SystemText(EIO)));
    }

    TEST_F(RealProgram, NotATerminal)
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("plain-file"));
        QFile(file).open(QIODevice::WriteOnly);
        Panel panel(*s_display, file);
        expectOpenFailure(
            panel, QStringLiteral("Cannot open the port /dev/ttyS0: %1").arg(SystemText(ENOTTY)));
        EXPECT_EQ(QFileInfo(file).size(), 0) << "frames went to a plain file";
    }

    TEST_F(RealProgram, RefusedToAUserOutsideTheGroup)
    {
        Pty pty;
        const group* dialout = ::getgrnam("dialout");
        if (!dialout)
            GTEST_SKIP() << "no dialout group";
        const QByteArray slave = pty.path().toLocal8Bit();
        ASSERT_EQ(::chown(slave.constData(), 0, dialout->gr_gid), 0);
        ASSERT_EQ(::chmod(slave.constData(), 0660), 0);
        Panel panel(*s_display, pty.path(), QStringLiteral("65534"));
        expectOpenFailure(panel,
            QStringLiteral("Cannot open the port /dev/ttyS0: %1\n\nThe device belongs to "
                           "the group \"dialout\". Add your user to it with\n    "
                           "sudo usermod -aG dialout $USER\nthen log out and back in.")
                .arg(SystemText(EACCES)));
        EXPECT_EQ(Hex(pty.readAll()), "");
    }

    // A terminal program holds the port in exclusive mode (root is exempt from it, so the
    // panel runs as an ordinary user here, who may not see which process of root's it is).
    TEST_F(RealProgram, HeldExclusivelyByAnotherProgram)
    {
        Pty pty;
        ASSERT_EQ(::chmod(pty.path().toLocal8Bit().constData(), 0666), 0);
        QProcess holder;
        CloseOnExec();
        holder.start(QStringLiteral(SERVO_PORT_HOLDER), { "--exclusive", pty.path() });
        ASSERT_TRUE(holder.waitForReadyRead(10000)) << holder.readAllStandardError().toStdString();
        Panel panel(*s_display, pty.path(), QStringLiteral("65534"));
        expectOpenFailure(panel,
            QStringLiteral("Cannot open the port /dev/ttyS0: it is in use by another program (%1).")
                .arg(SystemText(EBUSY)));
        EXPECT_EQ(Hex(pty.readAll()), "") << "frames reached a port held by another program";
        holder.closeWriteChannel();
        holder.waitForFinished(5000);
    }

    // Another copy of the panel already drives the controller.
    TEST_F(RealProgram, HeldByAnotherPanel)
    {
        Pty pty;
        Panel first(*s_display, pty.path());
        ASSERT_EQ(s_display->awaitWindows(1, &first.process()).size(), 1)
            << first.errors().toStdString();
        EXPECT_EQ(pty.read(16, 30s).size(), 16u);
        const QString firstWindow = s_display->windows().value(0);
        Panel second(*s_display, pty.path());
        const QStringList windows = s_display->awaitWindows(2, &second.process());
        ASSERT_EQ(windows.size(), 2) << second.errors().toStdString();
        QThread::msleep(300);
        EXPECT_EQ(s_display->windows().size(), 2) << "the second panel showed its window";
        EXPECT_EQ(Hex(pty.readAll()), "") << "the second panel sent frames";
        for (const QString& w : windows)
            if (w != firstWindow)
                s_display->key(w, "Return");
        EXPECT_EQ(second.awaitEnd(), EXIT_FAILURE);
        const QString message = QStringLiteral("Cannot open the port /dev/ttyS0: it is in use by "
                                               "another program (servo-panel, process %1).");
        // The holder's process id is the one inside the namespace's exec: the first panel's.
        EXPECT_EQ(second.errors().count(message.arg(first.process().processId())), 1)
            << second.errors().toStdString();
        first.process().terminate();
    }

    // A Raspberry Pi has no /dev/ttyS0 (or a placeholder) and names its GPIO UART
    // /dev/serial0: that link is port 1, and the start-up frames reach the line behind it.
    TEST_F(RealProgram, BoardPortWhereThereIsNoFirstPort)
    {
        Pty uart;
        Panel panel(*s_display, {}, {}, QStringLiteral("ln -s %1 /dev/serial0").arg(uart.path()));
        ASSERT_EQ(s_display->awaitWindows(1, &panel.process()).size(), 1)
            << panel.errors().toStdString();
        EXPECT_EQ(Hex(uart.read(16, 30s)), Hex(test::StartUpFrames()));
        // Claimed under the link's name and the device's; neither is left behind.
        EXPECT_EQ(QDir(s_display->locks(), "LCK..*").count(), 2u);
        panel.process().terminate();
        EXPECT_EQ(panel.awaitEnd(), EXIT_SUCCESS) << panel.errors().toStdString();
        EXPECT_EQ(QDir(s_display->locks(), "LCK..*").count(), 0u);
    }

    // A port 1 that the kernel lists as its console (here: the stand-in, by its device number)
    // carries its messages and a login: it is not opened, its settings stay, nothing is sent.
    TEST_F(RealProgram, SystemConsoleIsNeverOpened)
    {
        Pty pty;
        struct stat line { };
        ASSERT_EQ(::stat(pty.path().toLocal8Bit().constData(), &line), 0);
        QTemporaryDir dir;
        QFile consoles(dir.filePath(QStringLiteral("consoles")));
        ASSERT_TRUE(consoles.open(QIODevice::WriteOnly));
        consoles.write(QStringLiteral("tty0                 -WU (E  p  )    4:1\n"
                                      "ttyS0                -W- (EC p a)    %1:%2\n")
                           .arg(major(line.st_rdev))
                           .arg(minor(line.st_rdev))
                           .toLatin1());
        consoles.close();
        const termios before = pty.settings();

        Panel panel(*s_display, pty.path(), {},
            QStringLiteral("mount --bind %1 /proc/consoles").arg(consoles.fileName()));
        expectOpenFailure(panel,
            QStringLiteral("Cannot open the port /dev/ttyS0: it is the system's console (ttyS0)."));
        EXPECT_EQ(Hex(pty.readAll()), "") << "frames reached the console";
        const termios after = pty.settings();
        EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before)) << "the console's line was set up";
    }

    // Started where there is no desktop (over ssh without -X, from a console, a service), or
    // with one named that is not there: a clear word on how to start it instead of Qt's abort,
    // status 1, and nothing opened, nothing sent.
    struct NoDisplay {
        const char* name;
        std::vector<std::pair<const char*, const char*>> settings; // none: unset
        const char* named; // how the message names what was tried
    };

    void PrintTo(const NoDisplay& c, std::ostream* out)
    {
        *out << c.name;
    }

    class WithoutADisplay : public RealProgram, public testing::WithParamInterface<NoDisplay> { };

    TEST_P(WithoutADisplay, SaysHowToStartItAndOpensNothing)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : { "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM" })
            env.remove(QLatin1String(name));
        for (const auto& [name, value] : GetParam().settings)
            env.insert(QLatin1String(name), QLatin1String(value));
        Pty pty;
        Panel panel(env, s_display->locks(), pty.path());
        EXPECT_EQ(panel.awaitEnd(30s), EXIT_FAILURE) << "not ended with status 1 (a signal?)";
        const QString errors = panel.errors();
        EXPECT_EQ(errors.count(QStringLiteral("servo-panel cannot open its window: Qt reached no "
                                              "display (%1).")
                                   .arg(QLatin1String(GetParam().named))),
            1)
            << errors.toStdString();
        EXPECT_TRUE(errors.contains(QStringLiteral("ssh -X"))) << errors.toStdString();
        EXPECT_EQ(Hex(pty.readAll(300ms)), "");
        EXPECT_EQ(QDir(s_display->locks(), "LCK..*").count(), 0u);
    }

    INSTANTIATE_TEST_SUITE_P(Start, WithoutADisplay,
        testing::Values(NoDisplay { "None", {},
                            "DISPLAY is not set, WAYLAND_DISPLAY is not set, QT_QPA_PLATFORM is "
                            "not set" },
            // No server has this number; a socket of its own would be in /tmp/.X11-unix.
            NoDisplay { "X11NotThere", { { "DISPLAY", ":4093" } },
                "DISPLAY=:4093, WAYLAND_DISPLAY is not set, QT_QPA_PLATFORM is not set" },
            NoDisplay { "WaylandNotThere",
                { { "WAYLAND_DISPLAY", "servo-none" }, { "QT_QPA_PLATFORM", "wayland" } },
                "DISPLAY is not set, WAYLAND_DISPLAY=servo-none, QT_QPA_PLATFORM=wayland" }),
        [](const auto& info) { return std::string(info.param.name); });

    // The adapter is unplugged while the panel runs: the next frame fails, one report appears
    // over the panel, and answering it ends the program with status 1.
    TEST_F(RealProgram, HungUpMidRun)
    {
        Pty pty;
        Panel panel(*s_display, pty.path());
        const QStringList windows = s_display->awaitWindows(1, &panel.process());
        ASSERT_EQ(windows.size(), 1) << panel.errors().toStdString();
        std::string startUp;
        for (char code : { '0', '1', '2', '3' })
            startUp += FormatServoFrame(code, 50);
        EXPECT_EQ(Hex(pty.read(16, 30s)), Hex(startUp));

        // One arrow press goes out as one frame while the line is there.
        s_display->key(windows[0], "Right"); // the first slider has the focus
        EXPECT_EQ(Hex(pty.read(4, 30s)), Hex(FormatServoFrame('0', 51)));
        pty.hangUp();
        s_display->key(windows[0], "Right");
        const QStringList after = s_display->awaitWindows(2, &panel.process());
        ASSERT_EQ(after.size(), 2) << panel.errors().toStdString();
        QString box;
        for (const QString& w : after)
            if (w != windows[0])
                box = w;
        s_display->key(box, "Return");
        EXPECT_EQ(panel.awaitEnd(), EXIT_FAILURE);
        EXPECT_EQ(panel.errors().count(
                      QStringLiteral("Lost the port /dev/ttyS0: %1").arg(SystemText(EIO))),
            1)
            << panel.errors().toStdString();
    }

} // namespace
} // namespace servo
