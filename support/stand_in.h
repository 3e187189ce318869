#pragma once

#include <string>
#include <vector>

namespace servo::support {

// A private view of the machine for a panel under test: a mount namespace whose /dev has
// only what a Qt program needs, with `line` (a pseudo-terminal, or any file) bound over
// /dev/ttyS0, so the panel opens the device it always opens and the machine's real port is
// out of its reach; and a /run/lock of its own, where Qt claims the port with a lock file.
// Not root, the caller first becomes root of a user namespace of its own.
class StandIn {
public:
    // `line` empty: there is no /dev/ttyS0 at all. `locks` empty: a fresh /run/lock.
    // `uid` -1: the program keeps the caller's user.
    StandIn(std::string line, std::string locks, int uid = -1);
    ~StandIn();
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;

    // In a child process, before it execs the program: system calls only, so a parent with
    // threads may fork for it. False with errno set (0: no call failed, the check after
    // did); `step` says what failed. `refused`: the system does not let this user have a
    // namespace of its own at all.
    bool enter(const char** step, bool* refused = nullptr) const;

private:
    std::string m_line;
    std::string m_locks;
    int m_uid;
    std::string m_dev; // the new /dev is built here before it moves over /dev
    std::vector<std::pair<std::string, std::string>> m_nodes; // /dev/x and where it goes
    std::vector<std::pair<std::string, std::string>> m_links; // what each link points to
    std::string m_pts, m_shm, m_port;
    std::string m_uidMap, m_gidMap; // empty: root, no user namespace
};

} // namespace servo::support
