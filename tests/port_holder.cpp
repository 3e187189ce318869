// Another program holding the port: `port_holder DEVICE` opens it as any Qt program does
// (lock file, exclusive mode); `port_holder --exclusive DEVICE` only sets the tty's
// exclusive mode, as terminal programs do. It says "holding" and keeps the port until its
// standard input closes.
#include <QCoreApplication>
#include <QSerialPort>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const bool exclusiveOnly = argc == 3 && std::strcmp(argv[1], "--exclusive") == 0;
    const char* device = argv[argc - 1];
    QSerialPort port(QString::fromLocal8Bit(device));
    if (exclusiveOnly) {
        const int fd = ::open(device, O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0 || ::ioctl(fd, TIOCEXCL) != 0) {
            std::perror(device);
            return 2;
        }
    } else if (!port.open(QIODevice::ReadWrite)) {
        std::fprintf(stderr, "%s: %s\n", device, qPrintable(port.errorString()));
        return 2;
    }
    std::printf("holding\n");
    std::fflush(stdout);
    char c;
    while (::read(STDIN_FILENO, &c, 1) > 0) { }
    return 0;
}
