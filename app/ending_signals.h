#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <optional>

namespace servo {

// How the system asks the program to end from outside. On Linux: SIGTERM (the session
// ending, kill), SIGINT (Ctrl-C in its terminal) and SIGHUP (its terminal closed); a signal the
// parent left ignored (nohup, a background job) stays ignored. On Windows: Ctrl+C, Ctrl+Break
// or closing the console it was started from, and the session ending (log off, shut down), as
// the console event of the same name. Each is delivered on the event loop as `received`,
// except the session's end, which cannot wait for it. One instance at a time.
class EndingSignals : public QObject {
    Q_OBJECT

public:
    explicit EndingSignals(QObject* parent = nullptr);
    ~EndingSignals() override;

    // Delivers at once what arrived before the event loop runs (while the window was being
    // built), so that it is acted on before the port opens.
    void deliverPending();

    // Where the system ends the process as soon as the program has answered (Windows: the
    // session ending, a console closed), `received` is acted on before the answer, and once
    // `status` tells how the program ended, the process ends there with that status rather
    // than waiting for its event loop. Elsewhere the event loop always gets to end it.
    using Status = std::function<std::optional<int>()>;
    void setStatus(Status status) { m_status = std::move(status); }

signals:
    void received(int number);

private:
    struct Source;
    std::unique_ptr<Source> m_source;
    Status m_status;
};

} // namespace servo
