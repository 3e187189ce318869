#pragma once

#include <cstdint>
#include <string>

namespace servo {

// Upper-case hex without leading zeros; negative values as four digits of their
// 16-bit two's complement ("FFEC" for -20).
std::string FormatHex(int16_t n);

// STX, the channel code ('0'..'3'), FormatHex(value / 16), FormatHex(value & 15).
// Four bytes for 0..255; the division truncates toward zero, so values of -16 and
// below grow the frame to seven bytes.
std::string FormatServoFrame(char channelCode, int16_t value);

constexpr char kStx = '\x02';

} // namespace servo
