#include "pseudo_terminal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <stdlib.h>
#include <unistd.h>

namespace servo::support {
namespace {

    [[noreturn]] void Fail(const char* call)
    {
        throw std::runtime_error(std::string(call) + ": " + std::strerror(errno));
    }

    int OpenMaster()
    {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master < 0)
            Fail("posix_openpt");
        return master;
    }

} // namespace

PseudoTerminal::PseudoTerminal()
    : m_master(OpenMaster())
{
    if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
        Fail("unlockpt");
    const char* name = ::ptsname(m_master);
    if (!name)
        Fail("ptsname");
    m_path = name;
    m_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slave < 0)
        Fail("open");
}

PseudoTerminal::PseudoTerminal(NeverUnlocked)
    : m_master(OpenMaster())
{
    const char* name = ::ptsname(m_master);
    if (!name)
        Fail("ptsname");
    m_path = name;
}

PseudoTerminal::~PseudoTerminal()
{
    hangUp();
    if (m_slave >= 0)
        ::close(m_slave);
}

termios PseudoTerminal::settings() const
{
    termios t {};
    // On the master this gives the terminal side's settings, which the panel made.
    ::tcgetattr(m_slave >= 0 ? m_slave : m_master, &t);
    return t;
}

void PseudoTerminal::makeRaw()
{
    termios raw = settings();
    ::cfmakeraw(&raw);
    ::tcsetattr(m_slave, TCSANOW, &raw);
}

void PseudoTerminal::holdOutput(bool held)
{
    ::tcflow(m_slave, held ? TCOOFF : TCOON);
}

void PseudoTerminal::send(const std::string& bytes)
{
    if (m_master >= 0 && ::write(m_master, bytes.data(), bytes.size()) < 0)
        Fail("write");
}

void PseudoTerminal::hangUp()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

} // namespace servo::support
