#include "ending_signals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

namespace servo {
namespace {

    constexpr int kEnding[] = { SIGTERM, SIGINT, SIGHUP };

    int g_pipe[2] = { -1, -1 };
    struct sigaction g_previous[std::size(kEnding)];
    int g_handled = 0; // bit per entry of the signal list: our handler is installed
    // The thread that takes the signals, and those it holds back between the steps of
    // start-up (not those the parent blocked).
    pid_t g_mainThread = 0;
    sigset_t g_held;
    bool g_holding = false;

    void OnSignal(int number)
    {
        // Only async-signal-safe calls here.
        const int saved = errno;
        if (::gettid() != g_mainThread) {
            // Taken on the main thread only: during start-up it waits there for a check.
            ::syscall(SYS_tgkill, ::getpid(), g_mainThread, number);
        } else {
            // A full pipe already holds a wake-up.
            const auto byte = static_cast<unsigned char>(number);
            [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
        }
        errno = saved;
    }

    // The pipe, and the handler for each signal the parent did not leave ignored.
    bool Take()
    {
        if (g_pipe[0] >= 0)
            return true;
        g_mainThread = ::gettid();
        if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            g_pipe[0] = g_pipe[1] = -1;
            return false;
        }
        for (size_t i = 0; i < std::size(kEnding); ++i) {
            if (::sigaction(kEnding[i], nullptr, &g_previous[i]) != 0
                || g_previous[i].sa_handler == SIG_IGN)
                continue;
            struct sigaction action { };
            action.sa_handler = OnSignal;
            sigemptyset(&action.sa_mask);
            action.sa_flags = SA_RESTART;
            if (::sigaction(kEnding[i], &action, nullptr) == 0)
                g_handled |= 1 << i;
        }
        return true;
    }

} // namespace

// The handler only writes the number into a pipe, read on the event loop.
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
    for (size_t i = 0; i < std::size(kEnding); ++i)
        if (g_handled & (1 << i))
            ::sigaction(kEnding[i], &g_previous[i], nullptr);
    g_handled = 0;
    m_source->notifier.setEnabled(false);
    if (std::exchange(g_holding, false))
        ::pthread_sigmask(SIG_UNBLOCK, &g_held, nullptr);
    for (int& fd : g_pipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

// Nothing is blocked here: every thread Qt starts, and every program those threads start (a
// D-Bus daemon, autolaunched), would inherit the block and then ignore the signals for good.
// Once start-up's checks begin, the main thread alone holds them back, and the handler passes
// each signal another thread takes on to it.
void EndingSignals::holdUntilListening()
{
    sigset_t blocked;
    if (::pthread_sigmask(SIG_BLOCK, nullptr, &blocked) != 0)
        return;
    sigemptyset(&g_held);
    for (int number : kEnding)
        if (!sigismember(&blocked, number))
            sigaddset(&g_held, number);
    if (Take())
        g_holding = true;
}

void EndingSignals::listen()
{
    if (!std::exchange(g_holding, false))
        return;
    m_source->notifier.setEnabled(g_pipe[0] >= 0);
    ::pthread_sigmask(SIG_UNBLOCK, &g_held, nullptr);
}

void EndingSignals::deliverPending()
{
    if (g_pipe[0] < 0)
        return;
    if (g_holding) {
        // From the first check on, signals wait here; one waiting is handled before the
        // unblocking call returns.
        ::pthread_sigmask(SIG_UNBLOCK, &g_held, nullptr);
        ::pthread_sigmask(SIG_BLOCK, &g_held, nullptr);
    }
    unsigned char numbers[16];
    const ssize_t count = ::read(g_pipe[0], numbers, sizeof numbers);
    for (ssize_t i = 0; i < count; ++i)
        emit received(numbers[i]);
}

} // namespace servo
