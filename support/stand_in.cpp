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
    constexpr const char* kOldLocks = "/var/lock"; // Qt looks here first where it is a folder

    bool Touch(const std::string& path)
    {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        return fd >= 0 && ::close(fd) == 0;
    }

    bool Write(const char* path, const std::string& text)
    {
        const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        const bool whole = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
        const int error = errno;
        ::close(fd);
        errno = error;
        return whole;
    }

    // A bind mount shows the very file it binds.
    bool Same(const char* a, const char* b)
    {
        struct stat x { };
        struct stat y { };
        return ::stat(a, &x) == 0 && ::stat(b, &y) == 0 && x.st_dev == y.st_dev
            && x.st_ino == y.st_ino && x.st_rdev == y.st_rdev;
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
    const std::pair<const char*, const char*> links[]
        = { { "ptmx", "pts/ptmx" }, { "fd", "/proc/self/fd" }, { "stdin", "fd/0" },
              { "stdout", "fd/1" }, { "stderr", "fd/2" } };
    for (const auto& [name, target] : links)
        m_links.emplace_back(target, m_dev + "/" + name);
    m_pts = m_dev + "/pts";
    m_shm = m_dev + "/shm";
    m_port = m_dev + "/ttyS0";
    if (::geteuid() != 0) {
        m_uidMap = "0 " + std::to_string(::geteuid()) + " 1";
        m_gidMap = "0 " + std::to_string(::getegid()) + " 1";
    }
}

StandIn::~StandIn()
{
    ::rmdir(m_dev.c_str());
}

bool StandIn::enter(const char** step, bool* refused) const
{
    const auto failed = [step](const char* what) {
        *step = what;
        return false;
    };
    // Not root: until the first mount, a failure is the system's refusal.
    const bool user = !m_uidMap.empty();
    if (refused)
        *refused = user;
    if (user ? ::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0 || !Write("/proc/self/setgroups", "deny")
                || !Write("/proc/self/uid_map", m_uidMap) || !Write("/proc/self/gid_map", m_gidMap)
             : ::unshare(CLONE_NEWNS) != 0)
        return failed("cannot have a namespace of its own");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return failed("cannot make the mounts private");
    // Another panel on this machine holds the real port's lock, not this one's.
    if (m_locks.empty() ? ::mount("servo-lock", kLocks, "tmpfs", 0, "mode=1777") != 0
                        : ::mount(m_locks.c_str(), kLocks, nullptr, MS_BIND, nullptr) != 0)
        return failed("cannot make /run/lock private");
    if (refused)
        *refused = false;
    struct stat old { };
    if (::lstat(kOldLocks, &old) == 0 && S_ISDIR(old.st_mode)
        && ::mount(kLocks, kOldLocks, nullptr, MS_BIND, nullptr) != 0)
        return failed("cannot make /var/lock private");

    if (::mount("servo-dev", m_dev.c_str(), "tmpfs", 0, "mode=755") != 0)
        return failed("cannot make a /dev of its own");
    for (const auto& [from, to] : m_nodes)
        if (!Touch(to) || ::mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return failed("cannot bind the basic device nodes");
    // The machine's devpts, bound rather than a new instance: the line is one of its
    // terminals, reached by its path once this /dev is in place.
    if (::mkdir(m_pts.c_str(), 0755) != 0 || ::mkdir(m_shm.c_str(), 01777) != 0
        || ::mount("/dev/pts", m_pts.c_str(), nullptr, MS_BIND, nullptr) != 0
        || ::mount("servo-shm", m_shm.c_str(), "tmpfs", 0, "mode=1777") != 0)
        return failed("cannot bind pseudo-terminals and shared memory in the private /dev");
    for (const auto& [target, link] : m_links)
        if (::symlink(target.c_str(), link.c_str()) != 0)
            return failed("cannot link the private /dev's standard names");
    if (!m_line.empty() && !Touch(m_port))
        return failed("cannot make a /dev/ttyS0 to bind the line over");
    if (::mount(m_dev.c_str(), "/dev", nullptr, MS_MOVE, nullptr) != 0)
        return failed("cannot move the private /dev over /dev");
    // An empty folder again, in every namespace: the program may exec before we could.
    ::rmdir(m_dev.c_str());
    if (!m_line.empty()) {
        if (::mount(m_line.c_str(), kPort, nullptr, MS_BIND, nullptr) != 0)
            return failed("cannot bind the line over /dev/ttyS0");
        // Whatever went wrong unseen, the program opens the line or nothing: the real port
        // may be live, or the machine's console.
        if (!Same(kPort, m_line.c_str())) {
            errno = 0;
            return failed("/dev/ttyS0 is not the line after binding it there");
        }
    }

    if (m_uid >= 0) {
        const auto id = static_cast<uid_t>(m_uid);
        if (::setgroups(0, nullptr) != 0 || ::setresgid(id, id, id) != 0
            || ::setresuid(id, id, id) != 0)
            return failed("cannot become the user to run as");
    }
    return true;
}

} // namespace servo::support
