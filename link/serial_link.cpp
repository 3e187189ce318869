#include "serial_link.h"

#include "port_claim.h"
#include "port_io.h"
#include "port_survey.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

namespace servo {

SerialLink::SerialLink(const std::optional<QString>& device, QObject* parent)
    : QObject(parent)
    , m_device(device.value_or(platform::FirstPortName()))
    , m_shownName(m_device)
    // Port 1: the rule on this computer's listed ports.
    , m_findPortOne(device ? PortFinder() : [](const FirstPortOutcome& first) {
        return ChoosePortOne(first, SystemPorts(), platform::SystemHints());
    })
    , m_claim(std::make_unique<platform::LineClaim>())
    , m_hangUpWatch(std::make_unique<platform::HangUpWatch>())
{
    m_port.setPortName(m_device);
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialLink::onPortError);
    connect(m_hangUpWatch.get(), &platform::HangUpWatch::hungUp, this, &SerialLink::failLost);
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
                 .arg(m_shownName, m_port.errorString()));
        return false;
    }
    bool opened = openPort();
    if (!opened && m_state == State::Closed && m_findPortOne) {
        const PortOne one
            = m_findPortOne(OutcomeOf(m_device, m_port.error(), m_port.errorString()));
        if (one.kind == PortOne::Kind::NoDevice) {
            fail(one.report);
            return false;
        }
        if (one.kind == PortOne::Kind::Adapter || one.kind == PortOne::Kind::BoardPort) {
            m_device = one.device;
            m_description = one.description;
            // A link's name alone would not say which UART answers to it.
            m_shownName = one.kind == PortOne::Kind::BoardPort
                ? QStringLiteral("%1 (%2)").arg(one.device, one.description)
                : one.device;
            m_port.setPortName(m_device);
            m_port.clearError();
            opened = openPort();
        }
    }
    if (m_state == State::Failed)
        return false;
    if (!opened) {
        failOpen(m_port.error() == QSerialPort::PermissionError
                ? RefusalReason(m_device, m_port.errorString())
                : m_port.errorString());
        return false;
    }
    if (!m_port.setRequestToSend(true) && !platform::LacksModemControls(m_port)) {
        fail(tr("Cannot raise RTS on the port %1: %2").arg(m_shownName, m_port.errorString()));
        return false;
    }
    m_port.clearError();
    m_state = State::Open;
    m_hangUpWatch->start(m_port);
    return true;
}

bool SerialLink::openPort()
{
    // Opening alone would set the line to 9600 under the kernel's messages and a login.
    if (const std::optional<QString> console = platform::ConsoleOf(m_device)) {
        fail(ConsoleReport(m_shownName, *console));
        return false;
    }
    // Before any byte, and before the port's own open touches the line's settings.
    using Claim = platform::LineClaim::Outcome;
    const Claim claim = m_claim->take(m_device);
    if (claim == Claim::Held) {
        failOpen(HeldReason(m_claim->holder(), m_claim->reason()));
        return false;
    }
    if (!platform::OpenPort(m_port)) {
        m_claim->release();
        return false;
    }
    if (claim == Claim::Unopened) {
        // It opened for the port a moment after it would not for the claim: not held, so
        // not the panel's.
        failOpen(m_claim->reason());
        return false;
    }
    m_claim->opened();
    return true;
}

void SerialLink::failOpen(const QString& reason)
{
    fail(tr("Cannot open the port %1: %2").arg(m_shownName, reason) + PermissionHint(m_device));
}

void SerialLink::closePort()
{
    m_hangUpWatch->stop();
    m_port.close();
    // After the port's close, which removes the lock file under the name opened itself.
    m_claim->release();
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
    QString error;
    const qint64 taken = platform::WriteNow(m_port, bytes, error);
    if (taken < 0)
        failLost(error);
    return taken;
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
                 .arg(m_shownName)
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
    return platform::DrainDriver(m_port, deadline);
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
    fail(tr("Lost the port %1: %2").arg(m_shownName, reason));
}

void SerialLink::fail(const QString& message)
{
    if (m_state == State::Failed)
        return;
    // A failed port keeps raising errors until it is closed.
    m_state = State::Failed;
    if (m_port.isOpen())
        closePort();
    m_claim->release();
    emit failed(message);
}

} // namespace servo
