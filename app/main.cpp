#include "ending_signals.h"
#include "form1.h"
#include "start_conditions.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QIcon>

#include <cstdlib>
#include <cstring>
#include <utility>

// Under a Wayland compositor that leaves decorations to the client (Weston, GNOME), Qt draws
// its own title bar, with minimize and maximize whatever the window's flags say. Through
// XWayland the compositor's window manager honours them: a title and a close control, and a
// fixed size, as on X11. So where both are offered and the user has not chosen a platform,
// the panel takes X11, and Wayland only when the X display fails.
static void PreferX11UnderWayland(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") || qEnvironmentVariableIsEmpty("DISPLAY")
        || !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return;
    qputenv("QT_QPA_PLATFORM", "xcb;wayland");
}

namespace {

// The panel while main runs. Qt ends the process with exit() itself when the X server goes
// away: the port is still released (and its lock file removed) on that ending. By then Qt has
// torn down what the window draws with, so that ending touches no widget.
servo::Panel* g_running = nullptr;

void EndBeforeExit()
{
    if (servo::Panel* panel = std::exchange(g_running, nullptr))
        panel->end(servo::EndRequest::ProcessExiting);
}

struct Running {
    explicit Running(servo::Panel& panel)
    {
        g_running = &panel;
        std::atexit(EndBeforeExit);
    }
    ~Running() { g_running = nullptr; }
};

} // namespace

int main(int argc, char* argv[])
{
    servo::OpenClosedStandardStreams();
    PreferX11UnderWayland(argc, argv);
    servo::EndingSignals::holdUntilListening();
    servo::ExplainAMissingDisplay();
    QApplication app(argc, argv);
    // Task bars and Wayland compositors match the window to its menu entry by this name; the
    // icon is built in, so the window has it even where the package is not installed.
    QGuiApplication::setDesktopFileName(QStringLiteral("servo-panel"));
    QIcon icon;
    for (const QFileInfo& size : QDir(QStringLiteral(":/icons/servo-panel")).entryInfoList())
        icon.addFile(size.filePath());
    QGuiApplication::setWindowIcon(icon);
    servo::EndingSignals endings;
    servo::Form1 window(servo::SerialLink::kPortOne);
    servo::Panel& panel = window.panel();
    const auto fromOutside = [&panel] { panel.end(servo::EndRequest::Outside); };
    QObject::connect(&endings, &servo::EndingSignals::received, &window, fromOutside);
    endings.setStatus([&panel] { return panel.exitStatus(); });
    // Should Qt quit the application on its own (a session manager's request), what is queued
    // goes out first. After any other ending the panel has already ended.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &window, fromOutside);

    const Running running(panel);

    // An ending asked for so far, or while the port opens and the start-up frames go out,
    // stops start-up at its next step.
    const bool started = window.start([&endings] { endings.deliverPending(); });
    endings.listen();
    // A failed start leaves its report on screen; closing it ends with a failure status.
    if (started)
        window.show();
    else if (const auto status = panel.exitStatus())
        return *status; // ended before start-up was done
    return app.exec();
}
