#include "pty.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <poll.h>
#include <unistd.h>

namespace servo::test {

std::string Pty::read(size_t count, std::chrono::milliseconds limit)
{
    std::string got;
    QElapsedTimer clock;
    clock.start();
    while (got.size() < count && clock.elapsed() < limit.count() && m_line.master() >= 0) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pollfd fd { m_line.master(), POLLIN, 0 };
        if (::poll(&fd, 1, 2) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n
            = ::read(m_line.master(), buffer, std::min(sizeof buffer, count - got.size()));
        if (n > 0)
            got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

std::string Pty::readAll(std::chrono::milliseconds quiet)
{
    std::string got;
    for (;;) {
        const std::string more = read(SIZE_MAX / 2, quiet);
        if (more.empty())
            return got;
        got += more;
    }
}

} // namespace servo::test
