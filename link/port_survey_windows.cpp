// What finding port 1 and its reports need to know about the ports of a Windows system.
#include "port_survey.h"

namespace servo::platform {

QString FirstPortName()
{
    return QStringLiteral("COM1");
}

// Windows lists no placeholder ports: a failed COM1 has nothing more to say.
void ReadFirstPortFault(FirstPortOutcome&, QSerialPort::SerialPortError)
{
}

PortDescription ListedPort(const QSerialPortInfo& info)
{
    PortDescription port;
    port.device = info.portName();
    return port;
}

PortHints SystemHints()
{
    PortHints hints;
    hints.deviceManager = true;
    return hints;
}

QString RefusingGroup(const QString&)
{
    return {};
}

std::optional<QString> ConsoleOf(const QString&)
{
    return {};
}

} // namespace servo::platform
