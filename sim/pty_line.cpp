#include "pty_line.h"

#include "line_settings.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace servo::sim {
namespace {

    QString SystemError(const char* what)
    {
        return QStringLiteral("%1: %2").arg(
            QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
    }

} // namespace

PtyLine::PtyLine(QObject* parent)
    : QObject(parent)
{
}

PtyLine::~PtyLine()
{
    m_notifier.reset();
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
}

QString PtyLine::open()
{
    // Close-on-exec: the panel must not inherit this end of its own line.
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0)
        return SystemError("posix_openpt");
    if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
        return SystemError("grantpt");
    const char* name = ::ptsname(m_master);
    if (!name)
        return SystemError("ptsname");
    m_slavePath = QString::fromLocal8Bit(name);
    m_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slave < 0)
        return SystemError("open slave");
    // Raw until the panel sets the line up, so that nothing is echoed or translated.
    termios raw {};
    ::tcgetattr(m_slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(m_slave, TCSANOW, &raw);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_notifier = std::make_unique<QSocketNotifier>(m_master, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &PtyLine::readAvailable);
    return {};
}

QString PtyLine::settings() const
{
    termios settings {};
    // On the master this gives the slave's settings, which the panel made.
    if (m_master < 0 || ::tcgetattr(m_master, &settings) != 0)
        return tr("unknown");
    return QString::fromStdString(DescribeLine(settings));
}

void PtyLine::readAvailable()
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n > 0) {
            emit received(QByteArray(buffer, n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        // Cannot happen while the slave is held open; do not spin on it if it does.
        m_notifier->setEnabled(false);
        emit failed(n == 0 ? tr("the line ended") : SystemError("read"));
        return;
    }
}

} // namespace servo::sim
