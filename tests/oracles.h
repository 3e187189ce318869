#pragma once

// Slow, independent readings of the "min" text and of frames, shared by the fuzzers and
// the tests. They use other means than the program does (strtod_l instead of from_chars,
// their own rounding and grammar), so a fault in one is not hidden by the same fault in
// the other.

#include "lower_bound.h"
#include "servo_frame.h"

#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <locale.h>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace servo::oracle {

// The number at the start of the text as a double, read by the C library in the C locale.
inline double SlowLeadingNumber(std::string_view text)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    std::string number;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        number += text[i++];
    auto digits = [&] {
        size_t n = 0;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++n)
            number += text[i];
        return n;
    };
    size_t mantissaDigits = digits();
    if (i < text.size() && text[i] == '.') {
        number += text[i++];
        mantissaDigits += digits();
    }
    if (mantissaDigits == 0)
        return 0.0;
    if (i + 1 < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-'))
            ++j;
        if (j < text.size() && text[j] >= '0' && text[j] <= '9') {
            number.append(text.substr(i, j - i));
            i = j;
            digits();
        }
    }
    static const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t {});
    return strtod_l(number.c_str(), nullptr, c);
}

// The bound: nearest integer with halves to even, then 255 above and -32768 below.
inline int SlowLowerBound(std::string_view text)
{
    const double x = SlowLeadingNumber(text);
    if (std::isinf(x))
        return x > 0 ? 255 : -32768;
    double whole = std::floor(x);
    const double rest = x - whole;
    if (rest > 0.5 || (rest == 0.5 && std::fmod(whole, 2.0) != 0.0))
        whole += 1.0;
    if (whole >= 256.0)
        return 255;
    if (whole < -32768.0)
        return -32768;
    return static_cast<int>(whole);
}

// Empty when the program's reading agrees with the slow one; otherwise what differs.
inline std::optional<std::string> CheckLowerBound(std::string_view text)
{
    const double fast = LeadingNumber(text);
    const double slow = SlowLeadingNumber(text);
    if (std::isnan(fast))
        return "LeadingNumber gave NaN";
    // The program reads anything below 1e-337 as zero without computing it.
    const bool bothTiny = std::fabs(fast) < 1e-300 && std::fabs(slow) < 1e-300;
    if (fast != slow && !bothTiny)
        return "LeadingNumber " + std::to_string(fast) + ", slow reading " + std::to_string(slow);
    const int bound = LowerBoundFromText(text);
    if (bound < -32768 || bound > 255)
        return "bound " + std::to_string(bound) + " outside -32768..255";
    if (bound != SlowLowerBound(text))
        return "bound " + std::to_string(bound) + ", slow reading "
            + std::to_string(SlowLowerBound(text));
    return std::nullopt;
}

inline int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1; // lower case is not part of the encoding
}

// Every value whose frame this could be, or nothing when the bytes are not a frame:
// STX, a channel digit, the high part (FormatHex of value / 16: no leading zeros, or four
// digits of a negative number), one low digit. Values -15..-1 share their frames with
// 1..15, since their high part is 0.
inline std::vector<int> FrameValues(std::string_view frame, char* channel = nullptr)
{
    if (frame.size() < 4 || frame.size() > 7 || frame[0] != '\x02' || frame[1] < '0'
        || frame[1] > '3')
        return {};
    const std::string_view highText = frame.substr(2, frame.size() - 3);
    int high = 0;
    for (char c : highText) {
        if (HexDigitValue(c) < 0)
            return {};
        high = high * 16 + HexDigitValue(c);
    }
    const int low = HexDigitValue(frame.back());
    if (low < 0 || (highText.size() > 1 && highText[0] == '0'))
        return {};
    if (highText.size() == 4) {
        if (high < 0x8000)
            return {}; // four digits only for negative numbers
        high -= 0x10000;
        if (high < -2048)
            return {}; // no 16-bit value divides down that far
    } else if (high > 2047) {
        return {};
    }
    if (channel)
        *channel = frame[1];
    std::vector<int> values;
    // value = 16 * high + remainder, the remainder taking the sign of the value.
    if (high >= 0)
        values.push_back(high * 16 + low);
    if (high <= 0 && (low != 0 || high < 0))
        values.push_back(high * 16 + low - (low == 0 ? 0 : 16));
    return values;
}

// Empty when the frame of (code, value) is well formed and decodes back to the value.
inline std::optional<std::string> CheckFrame(char code, int16_t value)
{
    const std::string frame = FormatServoFrame(code, value);
    char channel = 0;
    const std::vector<int> values = FrameValues(frame, &channel);
    if (values.empty())
        return "malformed frame for " + std::to_string(value);
    if (channel != code)
        return "wrong channel in the frame of " + std::to_string(value);
    bool found = false;
    for (int v : values) {
        found = found || v == value;
        if (v < INT16_MIN || v > INT16_MAX
            || FormatServoFrame(code, static_cast<int16_t>(v)) != frame)
            return "frame of " + std::to_string(value) + " also reads as " + std::to_string(v);
    }
    if (!found)
        return "frame of " + std::to_string(value) + " does not decode to it";
    const size_t expected = value >= -15 && value <= 255 ? 4 : value < 0 ? 7 : value < 4096 ? 5 : 6;
    if (frame.size() != expected)
        return "frame of " + std::to_string(value) + " has " + std::to_string(frame.size())
            + " bytes";
    return std::nullopt;
}

} // namespace servo::oracle
