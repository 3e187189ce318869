#pragma once

#include "first_port.h"
#include "frame_link.h"
#include "port_io.h"

#include <QLockFile>
#include <QObject>
#include <QSerialPort>
#include <QString>

#include <functional>
#include <memory>

namespace servo {

// The controller's serial port: 9600 baud, 8N1, RTS on, output only. A frame goes to
// the driver at once, or is queued behind what is still waiting and leaves from the
// event loop; nothing queued is dropped at close.
class SerialLink : public QObject, public FrameLink {
    Q_OBJECT

public:
    static constexpr int kDrainLimitMs = 2000;

    explicit SerialLink(const QString& device, QObject* parent = nullptr);
    // Closing the window without EXIT still delivers what was queued.
    ~SerialLink() override;

    bool open() override;
    bool write(std::string_view frame) override;
    bool close() override;

    // Asked once when the device given does not open, with how it failed: says whether
    // port 1 is elsewhere (a USB serial adapter), and what to report when it is nowhere.
    using PortFinder = std::function<PortOne(const FirstPortOutcome&)>;
    void setPortFinder(PortFinder finder) { m_findPortOne = std::move(finder); }

    // The device in use, and the adapter's description when port 1 is one.
    QString device() const { return m_device; }
    QString description() const { return m_description; }
    bool hasFailed() const { return m_state == State::Failed; }
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
    void failOpen(const QString& systemReason, bool refused);
    void closePort();

    QString m_device;
    QString m_description;
    QString m_shownName; // the device as reports name it
    PortFinder m_findPortOne;
    QSerialPort m_port;
    std::unique_ptr<QLockFile> m_targetLock; // the claim under the name of a link's device
    platform::HangUpWatch m_hangUpWatch;
    State m_state = State::Closed;
};

} // namespace servo
