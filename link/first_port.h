#pragma once

#include "port_facts.h"

#include <QList>
#include <QSerialPort>
#include <QString>

#include <optional>

namespace servo {

// Which device is port 1, or why there is none.
struct PortOne {
    enum class Kind {
        FirstPort, // the first port opened: it is port 1
        BoardPort, // the first port is not there: the board's own UART link is (/dev/serial0)
        Adapter, // the first port is not there, nor a board port: the one USB serial adapter is
        FirstPortFailed, // a real first port failed: reported as such, never moved from
        NoDevice, // no adapter or several: nothing is opened, `report` says why
    };

    Kind kind = Kind::FirstPortFailed;
    QString device;
    QString description; // the adapter's, or what a board port links to: which device is in use
    QString report;
};

// The rule: the first port when it opens; when it is missing or a placeholder with no
// UART behind it, the board's own UART link where there is one, else the one port listed
// with a USB vendor identifier.
PortOne ChoosePortOne(
    const FirstPortOutcome& first, const QList<PortDescription>& ports, const PortHints& hints);

// Reads what a failed QSerialPort::open() says about the first port.
FirstPortOutcome OutcomeOf(
    const QString& device, QSerialPort::SerialPortError error, const QString& errorString);

// The serial ports of this computer as QSerialPortInfo lists them.
QList<PortDescription> SystemPorts();

// The console in the kernel's list of them (/proc/consoles: "ttyS0 -W- (EC p a) 4:64") whose
// device number is `number` ("4:64"), in whichever field of its line it stands; empty when
// none is.
std::optional<QString> ListedConsole(const QByteArray& consoles, const QString& number);

// Why the panel does not open a port that is the system's console `console`, and how to free it.
QString ConsoleReport(const QString& port, const QString& console);

// Diagnostics for a refused or held port (empty where they do not apply).
QString PermissionHint(const QString& device);
// Why a port whose open was refused did not open: the program that holds it where the
// system names one, else the system's own text.
QString RefusalReason(const QString& device, const QString& systemReason);
// Why a port that another program holds did not open: the holder where the system names it,
// else `systemReason`, the way it is held.
QString HeldReason(const std::optional<PortHolder>& holder, const QString& systemReason);
// The words for a held port: its holder, or the system's text where it names none.
QString InUseByAnotherProgram(const QString& program, qint64 pid);
QString InUseByAnotherProgram(const QString& systemReason);

} // namespace servo
