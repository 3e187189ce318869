#include "servo_frame.h"

namespace servo {

std::string FormatHex(int16_t n)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    auto bits = static_cast<uint16_t>(n);
    char text[4];
    int length = 0;
    do {
        text[3 - length++] = kDigits[bits & 0xF];
        bits >>= 4;
    } while (bits != 0);
    return std::string(text + 4 - length, length);
}

std::string FormatServoFrame(char channelCode, int16_t value)
{
    const auto high = static_cast<int16_t>(value / 16);
    const auto low = static_cast<int16_t>(static_cast<uint16_t>(value) & 0xF);
    std::string frame { kStx, channelCode };
    frame += FormatHex(high);
    frame += FormatHex(low);
    return frame;
}

} // namespace servo
