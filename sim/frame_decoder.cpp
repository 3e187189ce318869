#include "frame_decoder.h"

#include <cstdint>
#include <optional>

namespace servo::sim {
namespace {

    constexpr char kStx = '\x02';
    // A high part of at most four digits, then the low digit.
    constexpr std::size_t kMostDigits = 5;

    int HexDigit(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    // The value of a frame whose digits after the channel are exactly `digits`, or nothing
    // when no value gives these digits.
    std::optional<int> ValueOf(std::string_view digits)
    {
        int high = 0;
        for (char c : digits.substr(0, digits.size() - 1))
            high = high * 16 + HexDigit(c);
        const int low = HexDigit(digits.back());
        switch (digits.size()) {
        case 2:
            // -1..-15 also give a high part of "0", and read as 1..15 here.
            return high * 16 + low;
        case 3: // 256..4095: no leading zero
            if (high < 0x10)
                return std::nullopt;
            return high * 16 + low;
        case 4: // 4096..32767
            if (high < 0x100 || high > 0x7FF)
                return std::nullopt;
            return high * 16 + low;
        case 5: {
            // -16 and below: the quotient, truncated toward zero, is -2048..-1; the low digit
            // is the two's-complement nibble of a remainder of -15..0.
            if (high < 0xF800)
                return std::nullopt;
            const int quotient = high - 0x10000;
            const int value = low == 0 ? quotient * 16 : quotient * 16 + low - 16;
            if (value < INT16_MIN)
                return std::nullopt;
            return value;
        }
        default:
            return std::nullopt;
        }
    }

    // Whether more digits could still make a longer frame that starts with these.
    bool CouldGrow(std::string_view digits)
    {
        if (digits.size() < 2)
            return true;
        const char lead = digits[0];
        if (digits.size() < 3 && lead != '0')
            return true;
        if (digits.size() < 4 && lead >= '1' && lead <= '7')
            return true;
        return digits.size() < 5 && lead == 'F' && digits[1] >= '8';
    }

} // namespace

std::vector<LineEvent> FrameDecoder::feed(std::string_view bytes, std::int64_t nowMs)
{
    m_held.append(bytes);
    m_times.insert(m_times.end(), bytes.size(), nowMs);
    return decode(false);
}

std::vector<LineEvent> FrameDecoder::settle()
{
    return decode(true);
}

std::vector<LineEvent> FrameDecoder::decode(bool quiet)
{
    std::vector<LineEvent> out;
    const std::string_view held = m_held;
    std::size_t pos = 0;
    auto emit = [&](std::size_t length, std::optional<int> value, int channel) {
        LineEvent event;
        event.kind = value ? LineEvent::Kind::Frame : LineEvent::Kind::Invalid;
        event.channel = value ? channel : 0;
        event.value = value.value_or(0);
        event.bytes = held.substr(pos, length);
        event.atMs = m_times[pos];
        out.push_back(std::move(event));
        pos += length;
    };
    // What is not a frame runs up to the next STX: a frame cut short ends there.
    auto invalid = [&](std::size_t from) {
        const std::size_t next = held.find(kStx, from);
        emit((next == std::string_view::npos ? held.size() : next) - pos, std::nullopt, 0);
    };

    while (pos < held.size()) {
        if (held[pos] != kStx) {
            invalid(pos);
            continue;
        }
        if (held.size() - pos < 2) {
            if (!quiet)
                break;
            invalid(pos + 1);
            continue;
        }
        const char code = held[pos + 1];
        if (code < '0' || code > '3') {
            invalid(pos + 1);
            continue;
        }
        std::size_t run = 0;
        while (
            run < kMostDigits && pos + 2 + run < held.size() && HexDigit(held[pos + 2 + run]) >= 0)
            ++run;
        const std::string_view digits = held.substr(pos + 2, run);
        const bool atEnd = pos + 2 + run == held.size();
        if (atEnd && !quiet && run < kMostDigits && CouldGrow(digits))
            break;
        std::size_t length = run;
        std::optional<int> value;
        while (length >= 2 && !(value = ValueOf(digits.substr(0, length))))
            --length;
        if (value)
            emit(2 + length, value, code - '0');
        else
            invalid(pos + 1);
    }
    m_held.erase(0, pos);
    m_times.erase(m_times.begin(), m_times.begin() + static_cast<std::ptrdiff_t>(pos));
    return out;
}

std::string HexText(int value)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    unsigned bits = static_cast<unsigned>(value) & 0xFFFFu;
    std::string text;
    do {
        text.insert(text.begin(), kDigits[bits & 15u]);
        bits >>= 4;
    } while (bits != 0);
    return text;
}

} // namespace servo::sim
