#pragma once

#include "first_port.h"
#include "frame_link.h"

#include <QObject>
#include <QSerialPort>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace servo {

// Declared only, so that the window, which holds a SerialLink, reaches no platform header.
namespace platform {
    class HangUpWatch;
    class LineClaim;
}

// The controller's serial port: 9600 baud, 8N1, RTS on, output only. A frame goes to
// the driver at once, or is queued behind what is still waiting and leaves from the
// event loop; nothing queued is dropped at close.
class SerialLink : public QObject, public FrameLink {
    Q_OBJECT

public:
    static constexpr int kDrainLimitMs = 2000;

    // Port 1: the platform's first port or, where that has no device or no UART behind it,
    // the port ChoosePortOne finds in its stead.
    static constexpr std::nullopt_t kPortOne = std::nullopt;

    // `device` alone, unless setPortFinder gives it a rule (tests: a pseudo-terminal), or
    // kPortOne. Never a default: a test that forgot its device would open the real port.
    explicit SerialLink(const std::optional<QString>& device, QObject* parent = nullptr);
    // Closing the window without EXIT still delivers what was queued.
    ~SerialLink() override;

    bool open() override;
    bool write(std::string_view frame) override;
    bool close() override;

    // Asked once when the device does not open, with how it failed: says whether port 1 is
    // elsewhere (a board's UART link, a USB serial adapter), and what to report when it is
    // nowhere.
    using PortFinder = std::function<PortOne(const FirstPortOutcome&)>;
    void setPortFinder(PortFinder finder) { m_findPortOne = std::move(finder); }

    // The device in use, and its description when port 1 is an adapter or a board's UART link.
    QString device() const { return m_device; }
    QString description() const { return m_description; }
    qint64 bytesQueued() const { return m_port.bytesToWrite(); }

signals:
    // Emitted once, on the first failure; nothing is sent after it.
    void failed(const QString& message);

private:
    enum class State { Closed, Open, Failed };

    // Hands bytes straight to the driver without waiting: how many it took, or -1 after
    // a failure (reported).
    qint64 writeNow(std::string_view bytes);
    void onPortError(QSerialPort::SerialPortError error);
    void fail(const QString& message);
    void failLost(const QString& reason);
    bool drain();
    bool openPort();
    void failOpen(const QString& reason);
    void closePort();

    QString m_device;
    QString m_description;
    QString m_shownName; // the device as reports name it
    PortFinder m_findPortOne;
    QSerialPort m_port;
    std::unique_ptr<platform::LineClaim>
        m_claim; // kept to the end: no other program shares the line
    std::unique_ptr<platform::HangUpWatch> m_hangUpWatch;
    State m_state = State::Closed;
};

} // namespace servo
