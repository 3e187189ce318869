// The port's input and output on Windows.
#include "port_io.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QThread>

#include <windows.h>

#include <dbt.h>

namespace servo::platform {

bool OpenPort(QSerialPort& port)
{
    // A handle opened for writing only cannot read back the port's settings (Wine refuses
    // with "Access denied"), so the port is opened both ways.
    if (!port.open(QIODevice::ReadWrite))
        return false;
    // Nothing is read from the controller; whatever it sends is dropped as it arrives
    // rather than piling up.
    QObject::connect(
        &port, &QSerialPort::readyRead, &port, [&port] { port.skip(port.bytesAvailable()); });
    return true;
}

qint64 WriteNow(QSerialPort& port, std::string_view bytes, QString& error)
{
    // QSerialPort writes with overlapped I/O, started from the event loop; flush() starts
    // it now, so the frame does not wait for the repaints of the click that made it.
    const auto size = static_cast<qint64>(bytes.size());
    if (port.write(bytes.data(), size) != size) {
        error = port.errorString();
        return -1;
    }
    port.flush();
    return size;
}

bool DrainDriver(QSerialPort& port, const QDeadlineTimer& deadline)
{
    const auto handle = static_cast<HANDLE>(port.handle());
    for (;;) {
        DWORD errors = 0;
        COMSTAT status {};
        if (!::ClearCommError(handle, &errors, &status))
            return false;
        if (status.cbOutQue == 0)
            return true;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(1);
    }
}

bool LacksModemControls(const QSerialPort& port)
{
    return port.error() == QSerialPort::UnsupportedOperationError
        || port.errorString() == qt_error_string(ERROR_NOT_SUPPORTED);
}

// Windows tells every top-level window when a COM port goes away; QSerialPort notices only
// on its next read or write.
struct HangUpWatch::Watcher : QAbstractNativeEventFilter {
    HangUpWatch* owner = nullptr;
    QString name;

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override
    {
        if (type != "windows_generic_MSG")
            return false;
        const auto* msg = static_cast<const MSG*>(message);
        if (msg->message != WM_DEVICECHANGE || msg->wParam != DBT_DEVICEREMOVECOMPLETE
            || msg->lParam == 0)
            return false;
        const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(msg->lParam);
        if (header->dbch_devicetype != DBT_DEVTYP_PORT)
            return false;
        const auto* port = reinterpret_cast<const DEV_BROADCAST_PORT_W*>(header);
        if (QString::fromWCharArray(port->dbcp_name).compare(name, Qt::CaseInsensitive) != 0)
            return false;
        QCoreApplication::instance()->removeNativeEventFilter(this);
        // Reported from the event loop, not from inside the window procedure.
        QMetaObject::invokeMethod(
            owner, [o = owner] { emit o->hungUp(qt_error_string(ERROR_DEVICE_REMOVED)); },
            Qt::QueuedConnection);
        return false;
    }
};

HangUpWatch::HangUpWatch(QObject* parent)
    : QObject(parent)
    , m_watcher(std::make_unique<Watcher>())
{
    m_watcher->owner = this;
}

HangUpWatch::~HangUpWatch()
{
    stop();
}

void HangUpWatch::start(QSerialPort& port)
{
    m_watcher->name = port.portName();
    QCoreApplication::instance()->installNativeEventFilter(m_watcher.get());
}

void HangUpWatch::stop()
{
    if (QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(m_watcher.get());
}

} // namespace servo::platform
