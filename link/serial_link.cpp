#include "serial_link.h"

#include <QDeadlineTimer>
#include <QThread>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace servo {

SerialLink::SerialLink(const QString& device, QObject* parent)
    : QObject(parent), m_device(device)
{
    m_port.setPortName(device);
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialLink::onPortError);
}

SerialLink::~SerialLink()
{
    if (m_state == State::Open) {
        drain();
        m_port.close();
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
    bool opened = m_port.open(QIODevice::WriteOnly);
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
            opened = m_port.open(QIODevice::WriteOnly);
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
    return true;
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
    m_port.close();
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
        m_port.close();
    emit failed(message);
}

} // namespace servo
