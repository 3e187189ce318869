#include "ending_signals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <unistd.h>
#include <utility>

namespace servo {
namespace {

    constexpr int kEnding[] = { SIGTERM, SIGINT, SIGHUP };

    int g_pipe[2] = { -1, -1 };
    // Set while somebody takes the signals: from holdUntilListening or the listener's
    // construction until its destruction. Unset, a signal changes nothing.
    volatile sig_atomic_t g_taken = 0;
    bool g_holding = false;

    void OnSignal(int number)
    {
        // Only async-signal-safe calls here. A full pipe already holds a wake-up.
        const int saved = errno;
        if (g_taken) {
            const auto byte = static_cast<unsigned char>(number);
            [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
        }
        errno = saved;
    }

    // The pipe, and the handler for each signal the parent did not leave ignored, for the rest
    // of the process: a default handler put back while the process tears down would let a
    // second Ctrl-C end it by the signal, and lose the status the first ending chose.
    bool Take()
    {
        if (g_pipe[0] < 0) {
            if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
                g_pipe[0] = g_pipe[1] = -1;
                return false;
            }
            // Taken before the first handler goes in: a signal between two of them is not lost.
            g_taken = 1;
            for (int number : kEnding) {
                struct sigaction previous { };
                if (::sigaction(number, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN)
                    continue;
                struct sigaction action { };
                action.sa_handler = OnSignal;
                sigemptyset(&action.sa_mask);
                action.sa_flags = SA_RESTART;
                ::sigaction(number, &action, nullptr);
            }
        }
        g_taken = 1;
        return true;
    }

} // namespace

// The handler only writes the number into a pipe, read on the event loop or by start-up's
// checks. Nothing is blocked: whatever thread takes a signal, its byte waits in the pipe until
// the next read, so start-up stops at its next check all the same, and nothing the program
// starts (a thread, a D-Bus daemon) inherits a signal blocked.
struct EndingSignals::Source {
    QSocketNotifier notifier { QSocketNotifier::Read };
};

EndingSignals::EndingSignals(QObject* parent)
    : QObject(parent)
    , m_source(std::make_unique<Source>())
{
    if (!Take()) {
        qWarning("No pipe for signals: %s", qPrintable(qt_error_string(errno)));
        return;
    }
    m_source->notifier.setSocket(g_pipe[0]);
    connect(&m_source->notifier, &QSocketNotifier::activated, this, &EndingSignals::deliverPending);
    // Held, only start-up's checks deliver.
    m_source->notifier.setEnabled(!g_holding);
}

EndingSignals::~EndingSignals()
{
    g_taken = 0;
    g_holding = false;
    m_source->notifier.setEnabled(false);
    // What came meanwhile belongs to this listener's life.
    unsigned char rest[64];
    while (g_pipe[0] >= 0 && ::read(g_pipe[0], rest, sizeof rest) > 0) { }
}

void EndingSignals::holdUntilListening()
{
    if (Take())
        g_holding = true;
}

void EndingSignals::listen()
{
    if (std::exchange(g_holding, false))
        m_source->notifier.setEnabled(g_pipe[0] >= 0);
}

void EndingSignals::deliverPending()
{
    if (g_pipe[0] < 0)
        return;
    unsigned char numbers[16];
    const ssize_t count = ::read(g_pipe[0], numbers, sizeof numbers);
    for (ssize_t i = 0; i < count; ++i)
        emit received(numbers[i]);
}

} // namespace servo
