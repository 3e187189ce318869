#include "ending_signals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <pthread.h>
#include <unistd.h>
#include <utility>

namespace servo {
namespace {

    constexpr int kEnding[] = { SIGTERM, SIGINT, SIGHUP };

    int g_pipe[2] = { -1, -1 };
    struct sigaction g_previous[std::size(kEnding)];
    // The ending signals blocked by holdUntilListening (not those the parent blocked).
    sigset_t g_held;
    bool g_holding = false;

    void OnSignal(int number)
    {
        // Only async-signal-safe calls here; a full pipe already holds a wake-up.
        const int saved = errno;
        const auto byte = static_cast<unsigned char>(number);
        [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
        errno = saved;
    }

} // namespace

// The handler only writes the number into a pipe, read on the event loop.
struct EndingSignals::Source {
    QSocketNotifier notifier { QSocketNotifier::Read };
    int handled = 0; // bit per entry of the signal list: our handler is installed
};

EndingSignals::EndingSignals(QObject* parent)
    : QObject(parent)
    , m_source(std::make_unique<Source>())
{
    Q_ASSERT(g_pipe[0] < 0);
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        qWarning("No pipe for signals: %s", qPrintable(qt_error_string(errno)));
        g_pipe[0] = g_pipe[1] = -1;
        return;
    }
    m_source->notifier.setSocket(g_pipe[0]);
    connect(&m_source->notifier, &QSocketNotifier::activated, this, &EndingSignals::deliverPending);
    m_source->notifier.setEnabled(true);

    for (size_t i = 0; i < std::size(kEnding); ++i) {
        if (::sigaction(kEnding[i], nullptr, &g_previous[i]) != 0
            || g_previous[i].sa_handler == SIG_IGN)
            continue;
        struct sigaction action { };
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        if (::sigaction(kEnding[i], &action, nullptr) == 0)
            m_source->handled |= 1 << i;
    }
}

EndingSignals::~EndingSignals()
{
    for (size_t i = 0; i < std::size(kEnding); ++i)
        if (m_source->handled & (1 << i))
            ::sigaction(kEnding[i], &g_previous[i], nullptr);
    m_source->notifier.setEnabled(false);
    for (int& fd : g_pipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

// Every thread Qt starts inherits the block: while held, an ending signal can only be taken
// by this thread, here, between two steps of start-up.
void EndingSignals::holdUntilListening()
{
    sigset_t ending, previous;
    sigemptyset(&ending);
    for (int number : kEnding)
        sigaddset(&ending, number);
    if (::pthread_sigmask(SIG_BLOCK, &ending, &previous) != 0)
        return;
    sigemptyset(&g_held);
    for (int number : kEnding)
        if (!sigismember(&previous, number))
            sigaddset(&g_held, number);
    g_holding = true;
}

void EndingSignals::listen()
{
    if (std::exchange(g_holding, false))
        ::pthread_sigmask(SIG_UNBLOCK, &g_held, nullptr);
}

void EndingSignals::deliverPending()
{
    if (g_pipe[0] < 0)
        return;
    if (g_holding) {
        // A signal waiting is handled before the unblocking call returns.
        ::pthread_sigmask(SIG_UNBLOCK, &g_held, nullptr);
        ::pthread_sigmask(SIG_BLOCK, &g_held, nullptr);
    }
    unsigned char numbers[16];
    const ssize_t count = ::read(g_pipe[0], numbers, sizeof numbers);
    for (ssize_t i = 0; i < count; ++i)
        emit received(numbers[i]);
}

} // namespace servo
