#include "ending_signals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <unistd.h>

namespace servo {
namespace {

    constexpr int kEnding[] = { SIGTERM, SIGINT, SIGHUP };

    int g_pipe[2] = { -1, -1 };
    struct sigaction g_previous[std::size(kEnding)];

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
