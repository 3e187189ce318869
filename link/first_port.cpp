#include "first_port.h"

#include "port_claim.h"
#include "port_survey.h"

#include <QCoreApplication>
#include <QSerialPortInfo>
#include <QStringList>

#include <algorithm>
#include <utility>

namespace servo {
namespace {

    QString Tr(const char* text)
    {
        return QCoreApplication::translate("servo::PortOne", text);
    }

    QString Tr(const char* text, int n)
    {
        return QCoreApplication::translate("servo::PortOne", text, nullptr, n);
    }

    // ttyS2 before ttyS10, as people count them.
    bool NaturalLess(const QString& a, const QString& b)
    {
        const auto split = [](const QString& s) {
            qsizetype digits = s.size();
            while (digits > 0 && s.at(digits - 1).isDigit())
                --digits;
            return std::pair(s.left(digits), s.mid(digits).toLongLong());
        };
        return split(a) < split(b);
    }

    QString Hex4(quint16 value)
    {
        return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
    }

    // A port's line in a report's list of ports: what tells it apart from the others.
    QString PortListLine(const PortDescription& port)
    {
        const QStringList facts {
            port.description.isEmpty() ? Tr("no description") : port.description,
            port.manufacturer.isEmpty() ? Tr("maker unknown")
                                        : Tr("made by %1").arg(port.manufacturer),
            port.vendorId ? Tr("USB %1:%2").arg(Hex4(*port.vendorId), Hex4(port.productId))
                          : Tr("not USB"),
            port.serialNumber.isEmpty() ? Tr("no serial number")
                                        : Tr("serial number %1").arg(port.serialNumber),
        };
        return port.device + QLatin1String(": ") + facts.join(QLatin1String(", "));
    }

    // Adapters first, then the other ports; a laptop's 8250 driver lists 32 placeholders with
    // nothing to tell them apart, so they take one line between them.
    QString ListPorts(QList<PortDescription> ports)
    {
        std::sort(
            ports.begin(), ports.end(), [](const PortDescription& a, const PortDescription& b) {
                if (a.vendorId.has_value() != b.vendorId.has_value())
                    return a.vendorId.has_value();
                return NaturalLess(a.device, b.device);
            });
        QStringList lines;
        QStringList placeholders;
        for (const PortDescription& port : ports) {
            if (port.placeholder && !port.vendorId)
                placeholders.append(port.device);
            else
                lines.append(PortListLine(port));
        }
        if (placeholders.size() == 1)
            lines.append(Tr("%1: a placeholder with no UART behind it").arg(placeholders.front()));
        else if (!placeholders.isEmpty())
            lines.append(
                Tr("%n placeholders with no UART behind them (%1 ... %2)", placeholders.size())
                    .arg(placeholders.front(), placeholders.back()));
        if (lines.isEmpty())
            return Tr("Serial ports found: none found");
        return Tr("Serial ports found:") + QLatin1String("\n    ")
            + lines.join(QLatin1String("\n    "));
    }

    // Windows ends its texts with a full stop; they go in brackets here.
    QString WithoutFinalStop(QString text)
    {
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
        return text;
    }

    QString DeviceManagerHint()
    {
        return Tr("To make the controller's adapter COM1 itself: Device Manager, Ports (COM & "
                  "LPT), the adapter's Properties, Port Settings, Advanced, COM Port Number: "
                  "COM1.");
    }

    // How to join the group that owns a refused device, in every report that names one.
    QString JoinGroup(const QString& group)
    {
        return Tr("Add your user to it with\n    sudo usermod -aG %1 $USER\nthen log out and "
                  "back in.")
            .arg(group);
    }

    QString GroupHint(const QStringList& devices, const QString& group)
    {
        return Tr("The group \"%1\" owns %2.").arg(group, devices.join(QLatin1String(", ")))
            + QLatin1Char(' ') + JoinGroup(group);
    }

    QString NoDeviceReport(const FirstPortOutcome& first, const QList<PortDescription>& ports,
        const QList<PortDescription>& adapters, const PortHints& hints)
    {
        const QString reason = WithoutFinalStop(first.reason);
        const QString why = first.fault == FirstPortOutcome::Fault::Missing
            ? Tr("%1 does not exist (%2)").arg(first.device, reason)
            : Tr("%1 has no UART behind it (%2)").arg(first.device, reason);
        const QString found = adapters.isEmpty()
            ? Tr("no USB serial adapter was found")
            : Tr("%n USB serial adapters were found; the panel cannot tell which one leads to the "
                 "controller",
                adapters.size());
        QString report = Tr("Cannot open port 1: it has no device. %1, and %2.").arg(why, found)
            + QLatin1String("\n\n") + ListPorts(ports) + QLatin1String("\n\n");
        if (adapters.isEmpty()) {
            report += Tr("Plug in the controller's USB serial adapter and start the panel again.");
            if (hints.deviceManager)
                report += QLatin1String("\n\n") + DeviceManagerHint();
            if (hints.brltty)
                report += QLatin1String("\n\n")
                    + Tr("The braille display service brltty is installed; it is known to claim "
                         "CH340 adapters as they are plugged in. Remove it (sudo apt remove "
                         "brltty), or its udev rule for them (%1).")
                          .arg(hints.brlttyRule.isEmpty() ? Tr("85-brltty.rules")
                                                          : hints.brlttyRule);
            return report;
        }
        report += Tr("Unplug all adapters but the controller's and start the panel again.");
        if (hints.deviceManager)
            report += QLatin1String("\n\n") + DeviceManagerHint();
        QStringList refused;
        QString group;
        for (const PortDescription& adapter : adapters) {
            if (!adapter.refusingGroup.isEmpty()) {
                refused.append(adapter.device);
                group = adapter.refusingGroup;
            }
        }
        if (!refused.isEmpty())
            report += QLatin1String("\n\n") + GroupHint(refused, group);
        return report;
    }

} // namespace

PortOne ChoosePortOne(
    const FirstPortOutcome& first, const QList<PortDescription>& ports, const PortHints& hints)
{
    using Fault = FirstPortOutcome::Fault;
    if (first.fault == Fault::None)
        return { PortOne::Kind::FirstPort, first.device, {}, {} };
    // A type that reads anything but 0 is a real UART that failed: never moved away from.
    const bool noFirstPort = first.fault == Fault::Missing
        || (first.fault == Fault::InputOutput && first.uartType.value_or(0) == 0);
    if (!noFirstPort)
        return { PortOne::Kind::FirstPortFailed, first.device, {}, {} };

    // Where the board's link leads to the first port itself, it has already failed.
    if (hints.boardPort && hints.boardPort->target != first.device) {
        QString target = hints.boardPort->target;
        if (target.startsWith(QLatin1String("/dev/")))
            target.remove(0, 5);
        return { PortOne::Kind::BoardPort, hints.boardPort->device, target, {} };
    }

    QList<PortDescription> adapters;
    for (const PortDescription& port : ports)
        if (port.vendorId && port.device != first.device)
            adapters.append(port);
    std::sort(
        adapters.begin(), adapters.end(), [](const PortDescription& a, const PortDescription& b) {
            return NaturalLess(a.device, b.device);
        });
    if (adapters.size() == 1) {
        const PortDescription& adapter = adapters.front();
        return { PortOne::Kind::Adapter, adapter.device,
            adapter.description.isEmpty() ? Tr("USB serial adapter") : adapter.description, {} };
    }
    return { PortOne::Kind::NoDevice, {}, {}, NoDeviceReport(first, ports, adapters, hints) };
}

FirstPortOutcome OutcomeOf(
    const QString& device, QSerialPort::SerialPortError error, const QString& errorString)
{
    FirstPortOutcome outcome { device, FirstPortOutcome::Fault::Other, {}, errorString };
    if (error == QSerialPort::NoError)
        outcome.fault = FirstPortOutcome::Fault::None;
    else if (error == QSerialPort::DeviceNotFoundError)
        outcome.fault = FirstPortOutcome::Fault::Missing;
    else
        platform::ReadFirstPortFault(outcome, error);
    return outcome;
}

QList<PortDescription> SystemPorts()
{
    QList<PortDescription> ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        PortDescription port = platform::ListedPort(info);
        port.description = info.description();
        port.manufacturer = info.manufacturer();
        if (info.hasVendorIdentifier())
            port.vendorId = info.vendorIdentifier();
        port.productId = info.productIdentifier();
        port.serialNumber = info.serialNumber();
        ports.append(port);
    }
    return ports;
}

// On Linux a refused open almost always means the user is not in the group that owns
// the device; say which group and how to join it.
QString PermissionHint(const QString& device)
{
    const QString group = platform::RefusingGroup(device);
    if (group.isEmpty())
        return {};
    return QLatin1String("\n\n") + Tr("The device belongs to the group \"%1\".").arg(group)
        + QLatin1Char(' ') + JoinGroup(group);
}

std::optional<QString> ListedConsole(const QByteArray& consoles, const QString& number)
{
    for (QByteArray line : consoles.split('\n')) {
        // A field the kernel adds after the number must not hide it: the guard fails closed.
        const QList<QByteArray> fields = line.replace('\0', ' ').simplified().split(' ');
        if (std::any_of(fields.begin() + 1, fields.end(),
                [&](const QByteArray& field) { return QLatin1String(field) == number; }))
            return QString::fromLocal8Bit(fields.front());
    }
    return {};
}

QString ConsoleReport(const QString& port, const QString& console)
{
    return Tr("Cannot open the port %1: it is the system's console (%2). The kernel writes its "
              "messages there and a login prompt may wait on it, so the panel sends nothing "
              "to it.\n\nTo free it, take the console=%2 entry (or console=serial0) off the "
              "kernel command line (see /proc/cmdline: on a PC in GRUB_CMDLINE_LINUX of "
              "/etc/default/grub, then sudo update-grub; on a Raspberry Pi in "
              "/boot/firmware/cmdline.txt), stop its login prompt with\n    sudo systemctl "
              "disable --now serial-getty@%2\nand restart the computer. On a Raspberry Pi, "
              "sudo raspi-config does both: Interface Options, Serial Port, a login shell over "
              "serial: No, the serial port hardware: Yes.")
        .arg(port, console);
}

// Qt's serial port (ours and any other Qt program's) claims a device with a lock file and
// reports a held one only as "Permission error while locking the device", which sends the
// operator after groups.
QString RefusalReason(const QString& device, const QString& systemReason)
{
    const std::optional<PortHolder> holder = platform::HolderOf(device);
    return holder ? HeldReason(holder, systemReason) : systemReason;
}

QString HeldReason(const std::optional<PortHolder>& holder, const QString& systemReason)
{
    return holder && holder->pid ? InUseByAnotherProgram(holder->program, *holder->pid)
                                 : InUseByAnotherProgram(systemReason);
}

QString InUseByAnotherProgram(const QString& program, qint64 pid)
{
    return Tr("it is in use by another program (%1, process %2).")
        .arg(program.isEmpty() ? Tr("unknown") : program)
        .arg(pid);
}

QString InUseByAnotherProgram(const QString& systemReason)
{
    return Tr("it is in use by another program (%1).").arg(WithoutFinalStop(systemReason));
}

} // namespace servo
