// The port's input and output on Linux.
#include "port_io.h"

#include <QFileInfo>
#include <QSocketNotifier>
#include <QThread>

#include <cerrno>
#include <linux/capability.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

namespace servo::platform {
namespace {

    // The kernel lets CAP_SYS_ADMIN open a tty that another program holds in exclusive mode
    // (TIOCEXCL). While this lives, the calling thread goes without it, so such an open is
    // refused with EBUSY exactly as for any user. A probe of our own (open, TIOCGEXCL, close)
    // would leave a window for another program to claim the line between probe and open, and
    // its close could drop DTR and RTS on a line nobody else holds.
    class ExclusiveHoldsHonoured {
    public:
        ExclusiveHoldsHonoured()
        {
            if (::syscall(SYS_capget, &m_header, m_saved) != 0
                || !(m_saved[kIndex].effective & CAP_TO_MASK(CAP_SYS_ADMIN)))
                return;
            __user_cap_data_struct lowered[2] = { m_saved[0], m_saved[1] };
            lowered[kIndex].effective &= ~CAP_TO_MASK(CAP_SYS_ADMIN);
            m_lowered = ::syscall(SYS_capset, &m_header, lowered) == 0;
        }
        ~ExclusiveHoldsHonoured()
        {
            if (m_lowered)
                ::syscall(SYS_capset, &m_header, m_saved);
        }
        ExclusiveHoldsHonoured(const ExclusiveHoldsHonoured&) = delete;
        ExclusiveHoldsHonoured& operator=(const ExclusiveHoldsHonoured&) = delete;

    private:
        static constexpr int kIndex = CAP_TO_INDEX(CAP_SYS_ADMIN);
        __user_cap_header_struct m_header { _LINUX_CAPABILITY_VERSION_3, 0 };
        __user_cap_data_struct m_saved[2] {};
        bool m_lowered = false;
    };

    // Where QSerialPort keeps a device's lock file: in the first of its folders that can be
    // read and holds the file or may have it made.
    QString LockFileOf(const QString& device)
    {
        QString name = device.startsWith(QLatin1String("/dev/")) ? device.mid(5) : device;
        name.replace(QLatin1Char('/'), QLatin1Char('_'));
        for (const char* folder : { "/var/lock", "/etc/locks", "/var/spool/locks",
                 "/var/spool/uucp", "/tmp", "/var/tmp", "/var/lock/lockdev", "/run/lock" }) {
            const QFileInfo dir { QLatin1String(folder) };
            const QString path = dir.filePath() + QLatin1String("/LCK..") + name;
            if (dir.isReadable() && (QFileInfo::exists(path) || dir.isWritable()))
                return path;
        }
        return {};
    }

} // namespace

bool OpenPort(QSerialPort& port)
{
    // Run as root, the panel must still not share a line another program holds.
    const ExclusiveHoldsHonoured honoured;
    // Opened write-only, the port raises no notification of received data.
    return port.open(QIODevice::WriteOnly);
}

QString TargetLockFile(const QString& device)
{
    const QString target = QFileInfo(device).canonicalFilePath();
    if (target.isEmpty())
        return {};
    const QString lock = LockFileOf(target);
    return lock == LockFileOf(device) ? QString() : lock;
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
