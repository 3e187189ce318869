#pragma once

#include "first_port.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QString>

#include <memory>
#include <string_view>

// What the link needs of the operating system beyond QSerialPort. Each platform has its own
// file (port_posix.cpp, port_windows.cpp); the build picks one.
namespace servo::platform {

// Port number 1: /dev/ttyS0, COM1.
QString FirstPortName();

// Opens the port as this platform needs it to take its settings, and so that no other
// program can share the line.
bool OpenPort(QSerialPort& port);

// Hands bytes to the driver without waiting: how many it took (0 when it can take none
// now), or -1 with the system's text in `error`.
qint64 WriteNow(QSerialPort& port, std::string_view bytes, QString& error);

// Waits, until the deadline, for the driver to put on the line what it has taken.
bool DrainDriver(QSerialPort& port, const QDeadlineTimer& deadline);

// A line without modem controls (a pseudo-terminal, some virtual COM ports) has no RTS to
// raise; its refusal is that answer and nothing worse.
bool LacksModemControls(const QSerialPort& port);

// Fills in what a failed open of the first port says beyond QSerialPort's error: whether it
// is a placeholder with no UART behind it.
void ReadFirstPortFault(FirstPortOutcome& outcome, QSerialPort::SerialPortError error);

// A listed port: the name to open, and whether it is a placeholder with no UART behind it.
QString DeviceOf(const QSerialPortInfo& info);
bool IsPlaceholder(const QSerialPortInfo& info);

// What the computer offers besides its ports, for a report's advice.
PortHints SystemHints();

// The group the user must join to open a refused device, where the system has one.
QString RefusingGroup(const QString& device);
// Who holds a port whose open was refused, as the report's reason; empty when unknown.
QString HolderOf(const QString& device, const QString& systemReason);

// Reports a line that went away (an adapter pulled, a hang-up) while nothing is written;
// nothing is ever read from it, so nothing else would notice.
class HangUpWatch : public QObject {
    Q_OBJECT

public:
    explicit HangUpWatch(QObject* parent = nullptr);
    ~HangUpWatch() override;

    void start(QSerialPort& port);
    void stop();

signals:
    void hungUp(const QString& reason);

private:
    struct Watcher;
    std::unique_ptr<Watcher> m_watcher;
};

} // namespace servo::platform
