#include "line_settings.h"

#include <utility>

namespace servo::sim {
namespace {

    long Baud(speed_t speed)
    {
        static constexpr std::pair<speed_t, long> kSpeeds[] = {
            { B300, 300 },
            { B600, 600 },
            { B1200, 1200 },
            { B2400, 2400 },
            { B4800, 4800 },
            { B9600, 9600 },
            { B19200, 19200 },
            { B38400, 38400 },
            { B57600, 57600 },
            { B115200, 115200 },
            { B230400, 230400 },
        };
        for (const auto& [code, baud] : kSpeeds)
            if (code == speed)
                return baud;
        return -1;
    }

    std::string SpeedText(speed_t speed)
    {
        const long baud = Baud(speed);
        return baud < 0 ? "other speed" : std::to_string(baud);
    }

} // namespace

std::string DescribeLine(const termios& settings)
{
    std::string text = SpeedText(cfgetospeed(&settings));
    switch (settings.c_cflag & CSIZE) {
    case CS5:
        text += " 5";
        break;
    case CS6:
        text += " 6";
        break;
    case CS7:
        text += " 7";
        break;
    default:
        text += " 8";
        break;
    }
    char parity = 'N';
    if (settings.c_cflag & PARENB) {
        const bool odd = settings.c_cflag & PARODD;
        if (settings.c_cflag & CMSPAR)
            parity = odd ? 'M' : 'S';
        else
            parity = odd ? 'O' : 'E';
    }
    text += parity;
    text += (settings.c_cflag & CSTOPB) ? '2' : '1';

    if (settings.c_cflag & CRTSCTS)
        text += " RTS/CTS";
    if (settings.c_iflag & (IXON | IXOFF))
        text += " XON/XOFF";
    return text;
}

} // namespace servo::sim
