#include "ending_signals.h"

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <unistd.h>
#endif

namespace servo {

#ifdef Q_OS_UNIX
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

EndingSignals::EndingSignals(QObject* parent)
    : QObject(parent)
{
    Q_ASSERT(g_pipe[0] < 0);
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        qWarning("No pipe for signals: %s", qPrintable(qt_error_string(errno)));
        g_pipe[0] = g_pipe[1] = -1;
        return;
    }
    m_notifier.setSocket(g_pipe[0]);
    connect(&m_notifier, &QSocketNotifier::activated, this, &EndingSignals::readPipe);
    m_notifier.setEnabled(true);

    for (size_t i = 0; i < std::size(kEnding); ++i) {
        if (::sigaction(kEnding[i], nullptr, &g_previous[i]) != 0
            || g_previous[i].sa_handler == SIG_IGN)
            continue;
        struct sigaction action { };
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        if (::sigaction(kEnding[i], &action, nullptr) == 0)
            m_handled |= 1 << i;
    }
}

EndingSignals::~EndingSignals()
{
    for (size_t i = 0; i < std::size(kEnding); ++i)
        if (m_handled & (1 << i))
            ::sigaction(kEnding[i], &g_previous[i], nullptr);
    m_notifier.setEnabled(false);
    for (int& fd : g_pipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void EndingSignals::readPipe()
{
    unsigned char numbers[16];
    const ssize_t count = ::read(g_pipe[0], numbers, sizeof numbers);
    for (ssize_t i = 0; i < count; ++i)
        emit received(numbers[i]);
}

#else

EndingSignals::EndingSignals(QObject* parent)
    : QObject(parent)
{
}
EndingSignals::~EndingSignals() = default;
void EndingSignals::readPipe()
{
}

#endif

} // namespace servo
