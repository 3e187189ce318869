#pragma once

#include <QDeadlineTimer>
#include <QObject>
#include <QSerialPort>

#include <memory>
#include <string_view>

// The port's input and output beyond what QSerialPort does alike everywhere. Each platform
// has its own file (port_io_linux.cpp, port_io_windows.cpp); the build picks one.
namespace servo::platform {

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
