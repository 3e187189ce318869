// The real executable in a Wayland session: a headless Weston, which leaves decorations to
// its clients, with XWayland beside it. Where both are offered the panel takes X11, whose
// window manager draws a title and a close control and honours the fixed size; Qt's own
// Wayland title bar would offer minimize and maximize.
#include "pty.h"
#include "real_program.h"
#include "servo_frame.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace servo {
namespace {

    using namespace std::chrono_literals;
    using test::Hex;
    using test::Output;
    using test::Panel;
    using test::Pty;
    using test::StartUpFrames;
    using test::Stop;

    // Weston on no screen at all, with XWayland; it names the X display in its log.
    class Weston {
    public:
        Weston()
        {
            ::chmod(m_runtime.path().toLocal8Bit().constData(), 0700);
            ::chmod(m_locks.path().toLocal8Bit().constData(), 01777);
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime.path());
            m_server.setProcessEnvironment(env);
            test::CloseOnExec();
            m_server.start(QStringLiteral("weston"),
                { "--backend=headless-backend.so", "--socket=" + kSocket, "--xwayland",
                    "--idle-time=0", "--width=640", "--height=480", "--log=" + log() });
            static const QRegularExpression listening(
                QStringLiteral("xserver listening on display (:\\d+)"));
            QElapsedTimer clock;
            clock.start();
            while (clock.elapsed() < 30000 && m_server.state() != QProcess::NotRunning) {
                QFile file(log());
                if (file.open(QIODevice::ReadOnly)) {
                    const QRegularExpressionMatch m = listening.match(file.readAll());
                    if (m.hasMatch()) {
                        m_display = m.captured(1);
                        return;
                    }
                }
                m_server.waitForFinished(100);
            }
        }
        ~Weston() { Stop(m_server); }
        QString display() const { return m_display; }
        QString locks() const { return m_locks.path(); }
        QString log() const { return m_runtime.filePath(QStringLiteral("weston.log")); }

        // A desktop session on this compositor, as a Wayland desktop sets it up.
        QProcessEnvironment session() const
        {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.remove(QStringLiteral("QT_QPA_PLATFORM"));
            env.insert(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
            env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime.path());
            env.insert(QStringLiteral("WAYLAND_DISPLAY"), kSocket);
            env.insert(QStringLiteral("DISPLAY"), m_display);
            return env;
        }

        // The panel's windows on the XWayland display.
        QStringList x11Windows() const
        {
            const QString ids = Output(QStringLiteral("xdotool"),
                { "search", "--onlyvisible", "--name", test::kTitle }, 5000);
            return ids.isEmpty() ? QStringList() : ids.split(QLatin1Char('\n'));
        }

    private:
        inline static const QString kSocket = QStringLiteral("servo-wayland");
        QTemporaryDir m_runtime;
        QTemporaryDir m_locks;
        QProcess m_server;
        QString m_display;
    };

    class WaylandSession : public test::RealProgramTest {
    protected:
        static void SetUpTestSuite()
        {
            s_missing
                = MissingTool({ "weston", "Xwayland", "xdotool", "xprop", "unshare", "mount" });
            if (!s_missing.isEmpty())
                s_missing += QStringLiteral(" (scripts/setup.sh installs it)");
            else if (::getuid() != 0)
                s_missing = QStringLiteral(
                    "binding a stand-in over /dev/ttyS0 in a private mount namespace needs root");
            else
                s_missing = RefusedNamespace();
        }
        void SetUp() override
        {
            if (!s_missing.isEmpty())
                GTEST_SKIP() << s_missing.toStdString();
        }
    };

    // The X11 window as the window manager reads it: the decorations asked for in
    // _MOTIF_WM_HINTS, and whether the least and the largest size are the same.
    struct WindowHints {
        unsigned decorations = 0;
        bool fixedSize = false;
    };
    WindowHints Hints(const QString& window)
    {
        WindowHints hints;
        const QString motif = Output(QStringLiteral("xprop"), { "-id", window, "_MOTIF_WM_HINTS" });
        const QStringList fields = motif.section(QLatin1Char('='), 1).split(QLatin1Char(','));
        if (fields.size() >= 3)
            hints.decorations = fields[2].trimmed().toUInt(nullptr, 16);
        const QString normal
            = Output(QStringLiteral("xprop"), { "-id", window, "WM_NORMAL_HINTS" });
        static const QRegularExpression sizes(
            QStringLiteral("minimum size: (\\d+ by \\d+).*maximum size: (\\d+ by \\d+)"),
            QRegularExpression::DotMatchesEverythingOption);
        const QRegularExpressionMatch m = sizes.match(normal);
        hints.fixedSize = m.hasMatch() && m.captured(1) == m.captured(2);
        return hints;
    }

    TEST_F(WaylandSession, ThePanelTakesX11WhereBothAreOffered)
    {
        enum { kTitleBar = 0x08, kMinimize = 0x20, kMaximize = 0x40 }; // Motif decoration bits
        struct Row {
            const char* name;
            const char* variable; // set, or removed when `value` is null
            const char* value;
            bool onX11;
        };
        const Row rows[] = {
            { "both offered, nothing chosen", "XDG_SESSION_TYPE", "wayland", true },
            // Without XWayland there is only Qt's own title bar; the panel still runs.
            { "Wayland only", "DISPLAY", nullptr, false },
            { "Wayland chosen by the user", "QT_QPA_PLATFORM", "wayland", false },
        };
        for (const Row& row : rows) {
            SCOPED_TRACE(row.name);
            Weston weston;
            ASSERT_FALSE(weston.display().isEmpty()) << "Weston did not start; see its log";
            qputenv("DISPLAY", weston.display().toLocal8Bit()); // for xdotool and xprop
            QProcessEnvironment session = weston.session();
            if (row.value)
                session.insert(QLatin1String(row.variable), QLatin1String(row.value));
            else
                session.remove(QLatin1String(row.variable));
            Pty pty;
            Panel panel(session, weston.locks(), pty.path());
            ASSERT_EQ(Hex(pty.read(16, 30s)), Hex(StartUpFrames())) << panel.errors().toStdString();

            QElapsedTimer clock;
            clock.start();
            QStringList windows;
            while ((windows = weston.x11Windows()).isEmpty()
                && clock.elapsed() < (row.onX11 ? 30000 : 2000))
                QThread::msleep(100);
            EXPECT_EQ(panel.process().state(), QProcess::Running) << panel.errors().toStdString();
            if (!row.onX11) {
                EXPECT_TRUE(windows.isEmpty()) << "the panel went to XWayland";
                continue;
            }
            ASSERT_EQ(windows.size(), 1) << panel.errors().toStdString();
            const WindowHints hints = Hints(windows[0]);
            EXPECT_EQ(hints.decorations & (kTitleBar | kMinimize | kMaximize), unsigned(kTitleBar));
            EXPECT_TRUE(hints.fixedSize);
        }
    }

} // namespace
} // namespace servo
