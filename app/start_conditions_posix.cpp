#include "start_conditions.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace servo {
namespace {

    QtMessageHandler g_qtHandler = nullptr;

    QByteArray Setting(const char* name)
    {
        const QByteArray value = qgetenv(name);
        return name + (value.isEmpty() ? QByteArray(" is not set") : "=" + value);
    }

    void OnQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& text)
    {
        // Qt's one fatal message while it looks for its platform (Qt 5 and 6 word it so).
        if (type != QtFatalMsg || !text.contains(QLatin1String("platform plugin"))) {
            g_qtHandler(type, context, text);
            return;
        }
        std::fprintf(stderr,
            "servo-panel cannot open its window: Qt reached no display (%s, %s, %s).\n"
            "It needs a graphical desktop. Start it from the desktop (its menu entry, or a "
            "terminal there),\nor over the network with ssh -X, which brings its window to "
            "your screen:\n    ssh -X user@host servo-panel\n"
            "Qt finds the desktop through DISPLAY (X11) or WAYLAND_DISPLAY (Wayland); "
            "QT_QPA_PLATFORM\nchooses how it draws. The port was not opened: nothing was sent.\n",
            Setting("DISPLAY").constData(), Setting("WAYLAND_DISPLAY").constData(),
            Setting("QT_QPA_PLATFORM").constData());
        std::fflush(stderr);
        // Half-built, Qt is no place to run the teardown in; nothing is held.
        ::_exit(1);
    }

} // namespace

void OpenClosedStandardStreams()
{
    // The lowest free number is the one open() takes.
    for (int fd = 0; fd <= 2; ++fd)
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF && ::open("/dev/null", O_RDWR) != fd)
            return;
}

void ExplainAMissingDisplay()
{
    g_qtHandler = qInstallMessageHandler(OnQtMessage);
}

} // namespace servo
