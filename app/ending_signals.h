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
// except the session's end, which cannot wait for it. One instance at a time. Once it is gone
// (the program tears down), a further signal changes nothing: the process ends as it was
// ending, with the status its first ending chose.
class EndingSignals : public QObject {
    Q_OBJECT

public:
    // Early in main, before any other thread starts: until `listen`, an ending asked for
    // waits for the next `deliverPending`, so that start-up is ended only between its steps,
    // never in the middle of one (between a check and the frame that follows it). Nothing the
    // program starts meanwhile, thread or process, inherits a signal blocked or ignored.
    static void holdUntilListening();

    explicit EndingSignals(QObject* parent = nullptr);
    ~EndingSignals() override;

    // Delivers at once what arrived before the event loop runs (while the window was being
    // built, or the port opened), so that it is acted on before the next step of start-up.
    void deliverPending();
    // Start-up is over: from now on each ending is delivered on the event loop as it comes.
    void listen();

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
