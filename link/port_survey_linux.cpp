// What finding port 1 and its reports need to know about the ports of a Linux system.
#include "port_survey.h"

#include "first_port.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace servo::platform {
namespace {

    std::optional<int> ReadType(const QString& path)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        bool number = false;
        const int type = file.readAll().trimmed().toInt(&number);
        return number ? std::optional(type) : std::nullopt;
    }

    std::optional<dev_t> DeviceNumberOf(const QString& device)
    {
        struct stat info { };
        if (::stat(QFile::encodeName(device).constData(), &info) != 0 || !S_ISCHR(info.st_mode))
            return {};
        return info.st_rdev;
    }

    // Looked up by device number, so a node bound over another device reads that device's type.
    std::optional<int> UartTypeOf(const QString& device)
    {
        const std::optional<dev_t> number = DeviceNumberOf(device);
        if (!number)
            return {};
        return ReadType(
            QStringLiteral("/sys/dev/char/%1:%2/type").arg(major(*number)).arg(minor(*number)));
    }

} // namespace

QString FirstPortName()
{
    return QStringLiteral("/dev/ttyS0");
}

void ReadFirstPortFault(FirstPortOutcome& outcome, QSerialPort::SerialPortError error)
{
    // A placeholder of the 8250 driver opens and then fails every terminal call with EIO;
    // Qt reports either as a resource error with the system's text.
    if (error == QSerialPort::ResourceError && outcome.reason == qt_error_string(EIO)) {
        outcome.fault = FirstPortOutcome::Fault::InputOutput;
        outcome.uartType = UartTypeOf(outcome.device);
    }
}

PortDescription ListedPort(const QSerialPortInfo& info)
{
    PortDescription port;
    port.device = info.systemLocation();
    port.placeholder = ReadType(QStringLiteral("/sys/class/tty/%1/type").arg(info.portName())) == 0;
    if (info.hasVendorIdentifier())
        port.refusingGroup = RefusingGroup(port.device);
    return port;
}

PortHints SystemHints()
{
    PortHints hints;
    for (const char* rule : { "/etc/udev/rules.d/85-brltty.rules",
             "/usr/lib/udev/rules.d/85-brltty.rules", "/lib/udev/rules.d/85-brltty.rules" }) {
        if (QFileInfo::exists(QLatin1String(rule))) {
            hints.brltty = true;
            hints.brlttyRule = QLatin1String(rule);
            break;
        }
    }
    for (const char* program : { "/usr/bin/brltty", "/bin/brltty", "/usr/sbin/brltty" })
        hints.brltty = hints.brltty || QFileInfo::exists(QLatin1String(program));
    // Raspberry Pi OS links serial0 to the UART on GPIO 14 and 15, whichever it is.
    const QFileInfo serial0(QStringLiteral("/dev/serial0"));
    if (serial0.exists())
        hints.boardPort = BoardPort { serial0.filePath(), serial0.canonicalFilePath() };
    return hints;
}

QString RefusingGroup(const QString& device)
{
    const QByteArray path = QFile::encodeName(device);
    struct stat info { };
    if (::access(path.constData(), W_OK) == 0 || errno != EACCES
        || ::stat(path.constData(), &info) != 0)
        return {};
    const group* owner = ::getgrgid(info.st_gid);
    return owner ? QString::fromLocal8Bit(owner->gr_name) : QString();
}

// Every console the kernel writes to, with its device number: "ttyS0 -W- (EC p a) 4:64".
std::optional<QString> ConsoleOf(const QString& device)
{
    const std::optional<dev_t> number = DeviceNumberOf(device);
    QFile consoles(QStringLiteral("/proc/consoles"));
    if (!number || !consoles.open(QIODevice::ReadOnly))
        return {};
    return ListedConsole(
        consoles.readAll(), QStringLiteral("%1:%2").arg(major(*number)).arg(minor(*number)));
}

} // namespace servo::platform
