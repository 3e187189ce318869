#include "pty_line.h"

#include "line_settings.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <unistd.h>

namespace servo::sim {

PtyLine::PtyLine(QObject* parent)
    : QObject(parent)
{
}

PtyLine::~PtyLine()
{
    m_notifier.reset();
}

QString PtyLine::open()
{
    try {
        m_line = std::make_unique<support::PseudoTerminal>();
    } catch (const std::runtime_error& error) {
        return QString::fromLocal8Bit(error.what());
    }
    m_line->makeRaw();
    m_slavePath = QString::fromStdString(m_line->path());
    m_notifier = std::make_unique<QSocketNotifier>(m_line->master(), QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &PtyLine::readAvailable);
    return {};
}

QString PtyLine::settings() const
{
    if (!m_line)
        return tr("unknown");
    return QString::fromStdString(DescribeLine(m_line->settings()));
}

void PtyLine::readAvailable()
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_line->master(), buffer, sizeof buffer);
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
        emit failed(n == 0 ? tr("the line ended")
                           : tr("read: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        return;
    }
}

} // namespace servo::sim
