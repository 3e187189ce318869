#include "serial_link.h"

#include <QDeadlineTimer>
#include <QThread>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <linux/capability.h>
#include <sys/syscall.h>
#endif

namespace servo {
namespace {

#ifdef Q_OS_LINUX
// The kernel lets CAP_SYS_ADMIN open a tty that another program holds in exclusive mode
// (TIOCEXCL). While this lives, the calling thread goes without it, so such an open is
// refused with EBUSY exactly as for any user. A probe of our own (open, TIOCGEXCL, close)
// would leave a window for another program to claim the line between probe and open, and
// its close could drop DTR and RTS on a line nobody else holds.
class ExclusiveHoldsHonoured
{
public:
    ExclusiveHoldsHonoured()
    {
        if (::syscall(SYS_capget, &m_header, m_saved) != 0
            || !(m_saved[kIndex].effective & CAP_TO_MASK(CAP_SYS_ADMIN)))
            return;
        __user_cap_data_struct lowered[2] = {m_saved[0], m_saved[1]};
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
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2]{};
    bool m_lowered = false;
};
#endif

} // namespace

SerialLink::SerialLink(const QString& device, QObject* parent)
    : QObject(parent), m_device(device)
{
    m_port.setPortName(device);
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialLink::onPortError);
    connect(&m_hangUpWatch, &QSocketNotifier::activated, this, &SerialLink::checkHangUp);
}

SerialLink::~SerialLink()
{
    if (m_state == State::Open) {
        drain();
        closePort();
    }
}

bool SerialLink::open()
{
    if (m_state != State::Closed)
        return m_state == State::Open;

    const bool settingsTaken = m_port.setBaudRate(QSerialPort::Baud9600)
        && m_port.setDataBits(QSerialPort::Data8) && m_port.setParity(QSerialPort::NoParity)
        && m_port.setStopBits(QSerialPort::OneStop)
        && m_port.setFlowControl(QSerialPort::NoFlowControl);
    if (!settingsTaken) {
        fail(tr("The port %1 refused the settings 9600,N,8,1: %2")
                 .arg(device(), m_port.errorString()));
        return false;
    }
    bool opened = openPort();
    if (!opened && m_findPortOne) {
        const PortOne one =
            m_findPortOne(OutcomeOf(m_device, m_port.error(), m_port.errorString()));
        if (one.kind == PortOne::Kind::NoDevice) {
            fail(one.report);
            return false;
        }
        if (one.kind == PortOne::Kind::Adapter) {
            m_device = one.device;
            m_description = one.description;
            m_port.setPortName(m_device);
            m_port.clearError();
            opened = openPort();
        }
    }
    if (!opened) {
        QString reason = m_port.errorString();
        if (m_port.error() == QSerialPort::PermissionError) {
            const QString holder = HolderOf(device());
            if (!holder.isEmpty())
                reason = holder;
        }
        fail(tr("Cannot open the port %1: %2").arg(device(), reason) + PermissionHint(device()));
        return false;
    }
    // A line without modem controls (a pseudo-terminal) has no RTS to raise.
    if (!m_port.setRequestToSend(true)
        && m_port.error() != QSerialPort::UnsupportedOperationError) {
        fail(tr("Cannot raise RTS on the port %1: %2").arg(device(), m_port.errorString()));
        return false;
    }
    m_port.clearError();
    // Opened write-only, the port raises no notification of received data.
    m_state = State::Open;
    watchForHangUp();
    return true;
}

bool SerialLink::openPort()
{
#ifdef Q_OS_LINUX
    // Run as root, the panel must still not share a line another program holds.
    const ExclusiveHoldsHonoured honoured;
#endif
    return m_port.open(QIODevice::WriteOnly);
}

void SerialLink::closePort()
{
    m_hangUpWatch.setEnabled(false);
    m_port.close();
}

void SerialLink::watchForHangUp()
{
#ifdef Q_OS_UNIX
    // Qt wakes an exception notifier on POLLPRI and POLLERR (its glib dispatcher), or on
    // POLLPRI, POLLERR and POLLHUP (its own), and a tty that hangs up reports POLLHUP and
    // POLLERR. A read notifier would also wake for every byte the controller might send,
    // which nobody reads, and spin.
    m_hangUpWatch.setSocket(m_port.handle());
    m_hangUpWatch.setEnabled(true);
#endif
}

void SerialLink::checkHangUp()
{
#ifdef Q_OS_UNIX
    pollfd line{static_cast<int>(m_port.handle()), 0, 0};
    if (::poll(&line, 1, 0) == 1 && (line.revents & (POLLHUP | POLLERR))) {
        // What the next frame's write would have met on the hung-up line.
        failLost(qt_error_string(EIO));
        return;
    }
    // Urgent data, which a serial line does not have: stop watching rather than spin.
    m_hangUpWatch.setEnabled(false);
#endif
}

bool SerialLink::write(std::string_view frame)
{
    if (m_state != State::Open)
        return false;
    // QSerialPort sends from the event loop, after the repaints of the very click that
    // made the frame: a third of a millisecond late. When nothing waits ahead of it the
    // frame goes to the driver at once; whatever the driver cannot take now is queued
    // behind, in order, and leaves from the event loop as before.
    std::string_view rest = frame;
    if (m_port.bytesToWrite() == 0) {
        const qint64 taken = writeNow(frame);
        if (taken < 0)
            return false;
        rest.remove_prefix(static_cast<size_t>(taken));
        if (rest.empty())
            return true;
    }
    const auto size = static_cast<qint64>(rest.size());
    if (m_port.write(rest.data(), size) != size) {
        failLost(m_port.errorString());
        return false;
    }
    return true;
}

qint64 SerialLink::writeNow(std::string_view bytes)
{
#ifdef Q_OS_UNIX
    // QSerialPort opens the device non-blocking, so this never waits; a full driver
    // buffer (EAGAIN) is no error, the bytes are queued instead.
    const int fd = static_cast<int>(m_port.handle());
    for (;;) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written >= 0)
            return written;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        if (errno != EINTR) {
            failLost(qt_error_string(errno));
            return -1;
        }
    }
#else
    Q_UNUSED(bytes);
    return 0;
#endif
}

bool SerialLink::close()
{
    if (m_state != State::Open)
        return m_state == State::Closed;
    const bool delivered = drain();
    if (m_state != State::Open)
        return false;
    closePort();
    m_state = State::Closed;
    if (!delivered)
        fail(tr("The port %1 did not take the last frames within %2 seconds; they were "
                "not sent.")
                 .arg(device())
                 .arg(kDrainLimitMs / 1000));
    return delivered;
}

bool SerialLink::drain()
{
    // QSerialPort::close() discards its own buffer, and a closing tty may reset the
    // line while the kernel still holds bytes: hand everything over and wait for it.
    const QDeadlineTimer deadline(kDrainLimitMs);
    while (m_state == State::Open && m_port.bytesToWrite() > 0 && !deadline.hasExpired())
        m_port.waitForBytesWritten(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
    if (m_state != State::Open || m_port.bytesToWrite() > 0)
        return false;
#ifdef Q_OS_UNIX
    const int fd = static_cast<int>(m_port.handle());
    int pending = 0;
    while (::ioctl(fd, TIOCOUTQ, &pending) == 0 && pending > 0 && !deadline.hasExpired())
        QThread::msleep(1);
    if (pending > 0)
        return false;
    ::tcdrain(fd);
#endif
    return true;
}

void SerialLink::onPortError(QSerialPort::SerialPortError error)
{
    // Errors during open are judged by open() itself, and a time-out can only come from
    // the bounded wait in drain(), which judges it too.
    if (error == QSerialPort::NoError || error == QSerialPort::TimeoutError
        || m_state != State::Open)
        return;
    failLost(m_port.errorString());
}

void SerialLink::failLost(const QString& reason)
{
    // The same words whether the driver refused at once or from the event loop.
    fail(tr("Lost the port %1: %2").arg(device(), reason));
}

void SerialLink::fail(const QString& message)
{
    if (m_state == State::Failed)
        return;
    // A failed port keeps raising errors until it is closed.
    m_state = State::Failed;
    if (m_port.isOpen())
        closePort();
    emit failed(message);
}

} // namespace servo
