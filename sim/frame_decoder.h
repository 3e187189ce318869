#pragma once

// The controller's reading of the line, written from the frame's definition alone: STX,
// a channel digit '0'..'3', the hex text of value / 16 (truncated toward zero), the hex
// digit of value & 15. Hex text is upper case without leading zeros, negatives as four
// digits of two's complement. It deliberately shares no code with the panel's frame
// builder, so that the two can disagree.
//
// Frames carry no length and no terminator; the high part is one to four digits. A frame
// is taken as the longest one the bytes after STX and the channel allow, which is always
// the panel's frame, since the panel writes whole frames back to back and each starts
// with STX. When a read ends where the frame could still grow (STX "0" "3" "2" may be 50,
// or the start of 800..815), the bytes are held until the next byte decides or the line
// goes quiet (settle()).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace servo::sim {

struct LineEvent {
    enum class Kind { Frame, Invalid };
    Kind kind = Kind::Frame;
    int channel = 0; // 0..3 (frames only)
    int value = 0; // -32768..32767 (frames only)
    std::string bytes; // as they came
    std::int64_t atMs = 0; // arrival of the first byte

    bool operator==(const LineEvent&) const = default;
};

class FrameDecoder {
public:
    // One read's bytes, arrived at `nowMs`; returns what they complete, in order.
    std::vector<LineEvent> feed(std::string_view bytes, std::int64_t nowMs);
    // The line went quiet: decides what is held as it stands.
    std::vector<LineEvent> settle();
    bool holding() const { return !m_held.empty(); }

private:
    std::vector<LineEvent> decode(bool quiet);

    std::string m_held;
    std::vector<std::int64_t> m_times; // one per held byte
};

// The hex text the panel shows for a value ("32", "FFEC").
std::string HexText(int value);

} // namespace servo::sim
