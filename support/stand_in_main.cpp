// stand-in [--line PATH] [--locks DIR] [--uid N] PROGRAM [ARGS...]
// Runs PROGRAM with PATH standing in for /dev/ttyS0 (no ttyS0 at all without --line) in a
// private mount namespace; not root, in a user namespace of its own as well. PROGRAM does not
// run when that fails: status 97 when the system refuses this user such namespaces, 98 else.
#include "stand_in.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

int main(int argc, char* argv[])
{
    std::string line, locks;
    int uid = -1;
    int i = 1;
    for (; i + 1 < argc && std::strncmp(argv[i], "--", 2) == 0; i += 2) {
        if (std::strcmp(argv[i], "--line") == 0)
            line = argv[i + 1];
        else if (std::strcmp(argv[i], "--locks") == 0)
            locks = argv[i + 1];
        else if (std::strcmp(argv[i], "--uid") == 0)
            uid = std::atoi(argv[i + 1]);
        else
            break;
    }
    if (i >= argc) {
        std::fprintf(stderr, "usage: stand-in [--line PATH] [--locks DIR] [--uid N] PROGRAM...\n");
        return 2;
    }
    // Found while still root: a build in a folder only root may enter is still the program
    // to run, as whoever the test runs it as.
    const int program = ::open(argv[i], O_PATH | O_CLOEXEC);
    if (program < 0) {
        std::fprintf(stderr, "stand-in: %s: %s\n", argv[i], std::strerror(errno));
        return 127;
    }
    const servo::support::StandIn standIn(line, locks, uid);
    const char* step = "";
    bool refused = false;
    if (!standIn.enter(&step, &refused)) {
        const int error = errno;
        if (refused) {
            std::fprintf(stderr,
                "stand-in: this system does not let ordinary users mount in a user namespace "
                "of their own\n(%s: %s), so it cannot have a /dev/ttyS0 of its own without "
                "root.\nEither allow it (sysctl user.max_user_namespaces above 0, and where they "
                "exist\nkernel.unprivileged_userns_clone=1 and "
                "kernel.apparmor_restrict_unprivileged_userns=0),\nor run it as root. %s was "
                "not started.\n",
                step, std::strerror(error), argv[i]);
            return 97;
        }
        std::fprintf(stderr, "stand-in: %s%s%s; %s was not started.\n", step, error ? ": " : "",
            error ? std::strerror(error) : "", argv[i]);
        return 98;
    }
    ::execv(argv[i], argv + i);
    // Out of reach by its path now (--uid): the file found while root.
    ::execveat(program, "", argv + i, environ, AT_EMPTY_PATH);
    std::fprintf(stderr, "stand-in: %s: %s\n", argv[i], std::strerror(errno));
    return 127;
}
