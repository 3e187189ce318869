#pragma once

#include <QObject>

#include <memory>

namespace servo {

// How the system asks the program to end from outside. On Linux: SIGTERM (the session
// ending, kill), SIGINT (Ctrl-C in its terminal) and SIGHUP (its terminal closed); a signal the
// parent left ignored (nohup, a background job) stays ignored. On Windows: Ctrl+C, Ctrl+Break
// or closing the console it was started from. Each is delivered on the event loop as
// `received`. One instance at a time.
class EndingSignals : public QObject {
    Q_OBJECT

public:
    explicit EndingSignals(QObject* parent = nullptr);
    ~EndingSignals() override;

    // Delivers at once what arrived before the event loop runs (while the window was being
    // built), so that it is acted on before the port opens.
    void deliverPending();

signals:
    void received(int number);

private:
    struct Source;
    std::unique_ptr<Source> m_source;
};

} // namespace servo
