#pragma once

// The real executable on a stand-in for /dev/ttyS0. It opens /dev/ttyS0 and nothing else,
// so each run puts it in a private mount namespace with a /dev of its own, where a stand-in
// is bound over ttyS0 (needs root), on an Xvfb display of the test's own.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPoint>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include "servo_frame.h"

#include <chrono>
#include <initializer_list>
#include <string>
#include <unistd.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace servo::test {

using namespace std::chrono_literals;

inline const QString kTitle = QStringLiteral("^Varnel Pulse Control$");

// What a panel sends as it starts: every channel to 50, channel 1 first.
inline std::string StartUpFrames()
{
    std::string frames;
    for (char code : { '0', '1', '2', '3' })
        frames += FormatServoFrame(code, 50);
    return frames;
}

// Ends a server the test started: asked first, then made to.
inline void Stop(QProcess& server)
{
    server.terminate();
    if (!server.waitForFinished(10000)) {
        server.kill();
        server.waitForFinished(5000);
    }
}

// Children must not inherit the test's descriptors: a pty master kept open in the panel
// would keep the line up after the test hangs it up.
inline void CloseOnExec()
{
    for (const QString& fd :
        QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System)) {
        const int n = fd.toInt();
        if (n > 2)
            ::fcntl(n, F_SETFD, ::fcntl(n, F_GETFD) | FD_CLOEXEC);
    }
}

inline QString Output(const QString& program, const QStringList& args, int limitMs = 10000)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(limitMs))
        p.kill();
    p.waitForFinished(1000);
    return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
}

class Display {
public:
    Display()
    {
        ::chmod(m_locks.path().toLocal8Bit().constData(), 01777);
        // Xvfb picks a free display itself and names it on stdout once it takes clients,
        // which leaves no race with other servers starting on this machine. -noreset: by
        // default the server resets whenever its last client leaves, and drops a client
        // still in its handshake then; xdotool polling while the panel connects made that
        // the panel ("could not connect to display").
        m_server.start(QStringLiteral("Xvfb"),
            { "-displayfd", "1", "-noreset", "-screen", "0", "800x600x24", "-nolisten", "tcp" });
        QElapsedTimer clock;
        clock.start();
        QByteArray number;
        while (clock.elapsed() < 30000 && !number.endsWith('\n')
            && m_server.state() != QProcess::NotRunning) {
            m_server.waitForReadyRead(100);
            number += m_server.readAllStandardOutput();
        }
        if (!number.endsWith('\n'))
            return;
        m_name = QStringLiteral(":%1").arg(QString::fromLatin1(number.trimmed()));
        qputenv("DISPLAY", m_name.toLocal8Bit()); // for xdotool; this test runs offscreen
    }
    ~Display() { Stop(m_server); }
    // The X server dies under its clients.
    void kill()
    {
        m_server.kill();
        m_server.waitForFinished(5000);
    }
    QString name() const { return m_name; }
    QString locks() const { return m_locks.path(); }

    QStringList windows() const
    {
        const QString ids = Output(
            QStringLiteral("xdotool"), { "search", "--onlyvisible", "--name", kTitle }, 5000);
        return ids.isEmpty() ? QStringList() : ids.split(QLatin1Char('\n'));
    }

    // Waits until `count` of the program's windows are visible; returns them.
    // Generous: a sanitized build on a loaded machine starts slowly. Gives up early when
    // `program` has ended.
    QStringList awaitWindows(
        int count, const QProcess* program = nullptr, std::chrono::milliseconds limit = 60s) const
    {
        QElapsedTimer clock;
        clock.start();
        QStringList found;
        while (clock.elapsed() < limit.count() && (found = windows()).size() < count
            && !(program && program->state() == QProcess::NotRunning)) {
            QCoreApplication::processEvents(); // keeps the panel's stderr flowing in
            QThread::msleep(100);
        }
        return found;
    }

    void click(const QString& window, QPoint point) const
    {
        Output(QStringLiteral("xdotool"),
            { "mousemove", "--window", window, QString::number(point.x()),
                QString::number(point.y()), "click", "1" });
    }

    void key(const QString& window, const char* key) const
    {
        Output(QStringLiteral("xdotool"), { "windowfocus", "--sync", window });
        Output(QStringLiteral("xdotool"), { "key", key });
    }

private:
    QProcess m_server;
    QString m_name;
    QTemporaryDir m_locks;
};

// Runs build/servo-panel with `standIn` over /dev/ttyS0 in a /dev of its own (support's
// StandIn); with no `standIn` there is no /dev/ttyS0 at all. `user`: a user id to run it as
// (empty: root). `setUp`: shell commands run as root in that namespace before the panel.
// `launcher`: a program and its arguments that start the panel (a tracer), given the
// panel's path last.
class Panel {
public:
    Panel(const Display& display, const QString& standIn, const QString& user = {},
        const QString& setUp = {}, const QStringList& launcher = {})
        : Panel(X11Session(display.name()), display.locks(), standIn, user, setUp, launcher)
    {
    }
    // The panel in a desktop session of the caller's (`session`: DISPLAY, WAYLAND_DISPLAY...),
    // with `locks` as its /run/lock.
    Panel(QProcessEnvironment env, const QString& locks, const QString& standIn,
        const QString& user = {}, const QString& setUp = {}, const QStringList& launcher = {})
    {
        m_process.setProcessEnvironment(env);
        // A lock directory of the test's own: Qt claims /dev/ttyS0 with a lock file there,
        // whatever is bound over it, and other runs of the panel on this machine must not
        // collide with this one.
        QStringList arguments { QStringLiteral("--locks"), locks };
        if (!standIn.isEmpty())
            arguments << QStringLiteral("--line") << standIn;
        if (!user.isEmpty())
            arguments << QStringLiteral("--uid") << user;
        if (!setUp.isEmpty())
            arguments << QStringLiteral("/bin/sh") << QStringLiteral("-ec")
                      << setUp + QStringLiteral("\nexec \"$0\" \"$@\"");
        arguments << launcher << QStringLiteral(SERVO_PANEL_EXE);
        CloseOnExec();
        m_process.start(QStringLiteral(SERVO_STAND_IN_EXE), arguments);
        m_process.waitForStarted(10000);
    }
    ~Panel()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    QProcess& process() { return m_process; }

    // Exit status, or -1 when it did not end in time or crashed.
    int awaitEnd(std::chrono::milliseconds limit = 60s)
    {
        // Qt's wait says false for a process that has already ended.
        if (m_process.state() != QProcess::NotRunning
            && !m_process.waitForFinished(static_cast<int>(limit.count())))
            return -1;
        m_stderr += QString::fromLocal8Bit(m_process.readAllStandardError());
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }
    static QProcessEnvironment X11Session(const QString& display)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        return env;
    }

    QString errors()
    {
        m_process.waitForReadyRead(200);
        m_stderr += QString::fromLocal8Bit(m_process.readAllStandardError());
        return m_stderr;
    }

private:
    QProcess m_process;
    QString m_stderr;
};

// Each suite of real-program tests gets one X server; without root or the tools the
// tests skip and say why.
// One X server for a suite; a suite that cannot run here skips and says why.
class DisplayTest : public testing::Test {
protected:
    static QString MissingTool(std::initializer_list<const char*> tools)
    {
        for (const char* tool : tools)
            if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
                return QStringLiteral("no %1").arg(QLatin1String(tool));
        return {};
    }
    // Starts the suite's X server, unless `missing` says why the suite cannot run.
    static void StartDisplayUnless(const QString& missing)
    {
        s_missing = missing;
        if (s_missing.isEmpty())
            s_display = new Display;
    }
    static void TearDownTestSuite()
    {
        delete s_display;
        s_display = nullptr;
    }
    void SetUp() override
    {
        if (!s_missing.isEmpty())
            GTEST_SKIP() << s_missing.toStdString();
        ASSERT_FALSE(s_display->name().isEmpty()) << "Xvfb did not start";
    }

    static inline Display* s_display = nullptr;
    static inline QString s_missing;
};

class RealProgramTest : public DisplayTest {
protected:
    static void SetUpTestSuite()
    {
        QString missing = MissingTool({ "Xvfb", "xdotool", "unshare", "mount" });
        if (::getuid() != 0)
            missing = QStringLiteral(
                "binding a stand-in over /dev/ttyS0 in a private mount namespace needs root");
        else if (missing.isEmpty())
            missing = RefusedNamespace();
        StartDisplayUnless(missing);
    }

    // The one report of an open failure: only the report is on screen, never the panel;
    // answering it ends the program with status 1, and the report went out once.
    void expectOpenFailure(Panel& panel, const QString& message)
    {
        const QStringList windows = s_display->awaitWindows(1, &panel.process());
        ASSERT_EQ(windows.size(), 1) << panel.errors().toStdString();
        QThread::msleep(300);
        EXPECT_EQ(s_display->windows().size(), 1) << "the panel showed beside the report";
        s_display->key(windows[0], "Return");
        EXPECT_EQ(panel.awaitEnd(), EXIT_FAILURE);
        const QString errors = panel.errors();
        EXPECT_EQ(errors.count(message), 1) << errors.toStdString();
        EXPECT_EQ(
            errors.count(QStringLiteral("Cannot ")) + errors.count(QStringLiteral("Lost ")), 1)
            << errors.toStdString();
    }

    // Why a private mount namespace cannot be had here (a container without CAP_SYS_ADMIN,
    // a chroot whose root is no mount point); empty when it can.
    static QString RefusedNamespace()
    {
        QProcess probe;
        probe.start(
            QStringLiteral("unshare"), { "-m", "sh", "-c", "mount -t tmpfs servo-probe /mnt" });
        if (probe.waitForFinished(10000) && probe.exitStatus() == QProcess::NormalExit
            && probe.exitCode() == 0)
            return {};
        return QStringLiteral("no private mount namespace here: %1")
            .arg(QString::fromLocal8Bit(probe.readAllStandardError()).trimmed());
    }
};

} // namespace servo::test
