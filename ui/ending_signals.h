#pragma once

#include <QObject>
#include <QSocketNotifier>

namespace servo {

// The signals that end a program from outside: SIGTERM (the session ending, kill), SIGINT
// (Ctrl-C in its terminal) and SIGHUP (its terminal closed). Each is delivered on the event
// loop as `received`; the handler itself only writes the number into a pipe. A signal the
// parent left ignored (nohup, a background job) stays ignored. One instance at a time.
class EndingSignals : public QObject {
    Q_OBJECT

public:
    explicit EndingSignals(QObject* parent = nullptr);
    ~EndingSignals() override;

signals:
    void received(int number);

private:
    void readPipe();

    QSocketNotifier m_notifier { QSocketNotifier::Read };
    int m_handled = 0; // bit per entry of the signal list: our handler is installed
};

} // namespace servo
