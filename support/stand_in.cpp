#include "stand_in.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace servo::support {
namespace {

    constexpr const char* kPort = "/dev/ttyS0";
    constexpr const char* kLocks = "/run/lock";

    bool Touch(const std::string& path)
    {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        return fd >= 0 && ::close(fd) == 0;
    }

} // namespace

StandIn::StandIn(std::string line, std::string locks, int uid)
    : m_line(std::move(line))
    , m_locks(std::move(locks))
    , m_uid(uid)
{
    char dir[] = "/tmp/servo-dev-XXXXXX";
    if (!::mkdtemp(dir))
        throw std::runtime_error("mkdtemp failed");
    m_dev = dir;
    for (const char* node : { "null", "zero", "full", "random", "urandom", "tty" })
        m_nodes.emplace_back(std::string("/dev/") + node, m_dev + "/" + node);
    m_pts = m_dev + "/pts";
    m_shm = m_dev + "/shm";
    m_ptmx = m_dev + "/ptmx";
    m_fd = m_dev + "/fd";
    m_port = m_dev + "/ttyS0";
}

StandIn::~StandIn()
{
    ::rmdir(m_dev.c_str());
}

bool StandIn::enter(const char** step) const
{
    const auto failed = [step](const char* what) {
        *step = what;
        return false;
    };
    if (::unshare(CLONE_NEWNS) != 0
        || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return failed("a private mount namespace");
    // Another panel on this machine holds the real port's lock, not this one's.
    if (m_locks.empty() ? ::mount("servo-lock", kLocks, "tmpfs", 0, "mode=1777") != 0
                        : ::mount(m_locks.c_str(), kLocks, nullptr, MS_BIND, nullptr) != 0)
        return failed("a private /run/lock");

    if (::mount("servo-dev", m_dev.c_str(), "tmpfs", 0, "mode=755") != 0)
        return failed("a private /dev");
    for (const auto& [from, to] : m_nodes)
        if (!Touch(to) || ::mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return failed("the basic device nodes");
    if (::mkdir(m_pts.c_str(), 0755) != 0 || ::mkdir(m_shm.c_str(), 01777) != 0
        || ::mount("/dev/pts", m_pts.c_str(), nullptr, MS_BIND, nullptr) != 0
        || ::mount("servo-shm", m_shm.c_str(), "tmpfs", 0, "mode=1777") != 0
        || ::symlink("pts/ptmx", m_ptmx.c_str()) != 0
        || ::symlink("/proc/self/fd", m_fd.c_str()) != 0)
        return failed("pseudo-terminals and shared memory in the private /dev");
    if (!m_line.empty() && !Touch(m_port))
        return failed("a /dev/ttyS0 to bind the stand-in over");
    if (::mount(m_dev.c_str(), "/dev", nullptr, MS_MOVE, nullptr) != 0)
        return failed("the private /dev over /dev");
    // An empty folder again, in every namespace: the program may exec before we could.
    ::rmdir(m_dev.c_str());
    if (!m_line.empty() && ::mount(m_line.c_str(), kPort, nullptr, MS_BIND, nullptr) != 0)
        return failed("the stand-in over /dev/ttyS0");

    if (m_uid >= 0) {
        const auto id = static_cast<uid_t>(m_uid);
        if (::setgroups(0, nullptr) != 0 || ::setresgid(id, id, id) != 0
            || ::setresuid(id, id, id) != 0)
            return failed("the user to run as");
    }
    return true;
}

} // namespace servo::support
