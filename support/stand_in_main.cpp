// stand-in [--line PATH] [--locks DIR] [--uid N] PROGRAM [ARGS...]
// Runs PROGRAM with PATH standing in for /dev/ttyS0 in a private mount namespace (root).
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
    if (!standIn.enter(&step)) {
        std::fprintf(stderr, "stand-in: %s: %s\n", step, std::strerror(errno));
        return 99;
    }
    ::execveat(program, "", argv + i, environ, AT_EMPTY_PATH);
    std::fprintf(stderr, "stand-in: %s: %s\n", argv[i], std::strerror(errno));
    return 127;
}
