#pragma once

#include <QList>
#include <QSerialPort>
#include <QString>

#include <optional>

namespace servo {

// How the attempt to open the platform's first port (/dev/ttyS0, COM1) ended.
struct FirstPortOutcome {
    enum class Fault { None, Missing, InputOutput, Other };

    QString device;
    Fault fault = Fault::None;
    // The kernel's UART type of the device behind the node, where it can be read; the
    // serial driver's placeholders with no UART behind them read 0.
    std::optional<int> uartType;
    QString reason; // the system's own text
};

// One serial port as the system lists it.
struct PortDescription {
    QString device; // the path or name to open: /dev/ttyUSB0, COM3
    QString description;
    QString manufacturer;
    std::optional<quint16> vendorId; // USB devices only
    quint16 productId = 0;
    QString serialNumber;
    bool placeholder = false; // a UART slot with no UART behind it
    QString refusingGroup; // the group the user must join to open it, when refused
};

// What the computer offers besides its ports, for the report's advice.
struct PortHints {
    bool brltty = false; // the braille display service, which takes CH340 adapters
    QString brlttyRule; // its udev rule, where found
    bool deviceManager = false; // ports are numbered in Windows' Device Manager
};

// Which device is port 1, or why there is none.
struct PortOne {
    enum class Kind {
        FirstPort, // the first port opened: it is port 1
        Adapter, // the first port is not there: the one USB serial adapter is
        FirstPortFailed, // a real first port failed: reported as such, never moved from
        NoDevice, // no adapter or several: nothing is opened, `report` says why
    };

    Kind kind = Kind::FirstPortFailed;
    QString device;
    QString description; // the adapter's, for showing which device is in use
    QString report;
};

// The rule: the first port when it opens; when it is missing or a placeholder with no
// UART behind it, the one port listed with a USB vendor identifier.
PortOne ChoosePortOne(
    const FirstPortOutcome& first, const QList<PortDescription>& ports, const PortHints& hints);

// Reads what a failed QSerialPort::open() says about the first port.
FirstPortOutcome OutcomeOf(
    const QString& device, QSerialPort::SerialPortError error, const QString& errorString);

// The serial ports of this computer as QSerialPortInfo lists them.
QList<PortDescription> SystemPorts();

// Diagnostics for a refused or held port (empty where they do not apply).
QString PermissionHint(const QString& device);
// Why a held port did not open: the holder where the system names it, else the system's text.
QString InUseByAnotherProgram(const QString& program, qint64 pid);
QString InUseByAnotherProgram(const QString& systemReason);

} // namespace servo
