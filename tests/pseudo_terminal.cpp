#include "pseudo_terminal.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <stdexcept>
#include <unistd.h>

namespace servo::test {

Pty::Pty()
{
    char name[128] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    // A child process holding either end would keep the line up after hangUp().
    for (int fd : {m_master, m_slave})
        ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
    m_path = QString::fromLocal8Bit(name);
}

Pty::Pty(NeverUnlocked)
{
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const char* name = m_master >= 0 ? ::ptsname(m_master) : nullptr;
    if (!name)
        throw std::runtime_error("posix_openpt failed");
    m_path = QString::fromLocal8Bit(name);
}

Pty::~Pty()
{
    hangUp();
    if (m_slave >= 0)
        ::close(m_slave);
}

std::string Pty::read(size_t count, std::chrono::milliseconds limit)
{
    std::string got;
    QElapsedTimer clock;
    clock.start();
    while (got.size() < count && clock.elapsed() < limit.count() && m_master >= 0) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pollfd fd{m_master, POLLIN, 0};
        if (::poll(&fd, 1, 2) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = ::read(m_master, buffer, std::min(sizeof buffer, count - got.size()));
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

termios Pty::settings() const
{
    termios t{};
    ::tcgetattr(m_slave, &t);
    return t;
}

void Pty::holdOutput(bool held) { ::tcflow(m_slave, held ? TCOOFF : TCOON); }

void Pty::send(const std::string& bytes)
{
    if (m_master >= 0 && ::write(m_master, bytes.data(), bytes.size()) < 0)
        throw std::runtime_error("cannot write to the pseudo-terminal");
}

void Pty::hangUp()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

} // namespace servo::test
