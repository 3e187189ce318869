// The port's input and output on Linux.
#include "port_io.h"

#include "exclusive_holds_linux.h"

#include <QSocketNotifier>
#include <QThread>

#include <cerrno>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace servo::platform {

bool OpenPort(QSerialPort& port)
{
    // Run as root, the panel must still not share a line another program holds.
    const ExclusiveHoldsHonoured honoured;
    // Opened write-only, the port raises no notification of received data.
    return port.open(QIODevice::WriteOnly);
}

qint64 WriteNow(QSerialPort& port, std::string_view bytes, QString& error)
{
    // QSerialPort opens the device non-blocking, so this never waits; a full driver
    // buffer (EAGAIN) is no error, the bytes are queued instead.
    const int fd = static_cast<int>(port.handle());
    for (;;) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written >= 0)
            return written;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        if (errno != EINTR) {
            error = qt_error_string(errno);
            return -1;
        }
    }
}

bool DrainDriver(QSerialPort& port, const QDeadlineTimer& deadline)
{
    const int fd = static_cast<int>(port.handle());
    int pending = 0;
    while (::ioctl(fd, TIOCOUTQ, &pending) == 0 && pending > 0 && !deadline.hasExpired())
        QThread::msleep(1);
    if (pending > 0)
        return false;
    ::tcdrain(fd);
    return true;
}

bool LacksModemControls(const QSerialPort& port)
{
    return port.error() == QSerialPort::UnsupportedOperationError;
}

struct HangUpWatch::Watcher {
    // Qt wakes an exception notifier on POLLPRI and POLLERR (its glib dispatcher), or on
    // POLLPRI, POLLERR and POLLHUP (its own), and a tty that hangs up reports POLLHUP and
    // POLLERR. A read notifier would also wake for every byte the controller might send,
    // which nobody reads, and spin.
    QSocketNotifier notifier { QSocketNotifier::Exception };
};

HangUpWatch::HangUpWatch(QObject* parent)
    : QObject(parent)
    , m_watcher(std::make_unique<Watcher>())
{
    connect(&m_watcher->notifier, &QSocketNotifier::activated, this, [this](QSocketDescriptor fd) {
        pollfd line { static_cast<int>(fd), 0, 0 };
        if (::poll(&line, 1, 0) == 1 && (line.revents & (POLLHUP | POLLERR))) {
            m_watcher->notifier.setEnabled(false);
            // What the next frame's write would have met on the hung-up line.
            emit hungUp(qt_error_string(EIO));
            return;
        }
        // Urgent data, which a serial line does not have: stop watching rather than spin.
        m_watcher->notifier.setEnabled(false);
    });
}

HangUpWatch::~HangUpWatch() = default;

void HangUpWatch::start(QSerialPort& port)
{
    m_watcher->notifier.setSocket(port.handle());
    m_watcher->notifier.setEnabled(true);
}

void HangUpWatch::stop()
{
    m_watcher->notifier.setEnabled(false);
}

} // namespace servo::platform
