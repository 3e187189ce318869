// The simulator's own reading of the line, against the frame's definition and against the
// panel's frame builder.
#include "frame_decoder.h"
#include "line_settings.h"
#include "servo_frame.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace servo::sim {
namespace {

    std::string Describe(const LineEvent& e)
    {
        if (e.kind == LineEvent::Kind::Frame)
            return "CH" + std::to_string(e.channel + 1) + "=" + std::to_string(e.value) + "@"
                + std::to_string(e.atMs);
        static constexpr char kDigits[] = "0123456789ABCDEF";
        std::string text = "bad[";
        for (unsigned char c : e.bytes) {
            if (text.back() != '[')
                text += ' ';
            text += kDigits[c >> 4];
            text += kDigits[c & 15];
        }
        return text + "]@" + std::to_string(e.atMs);
    }

    struct DecoderCase {
        const char* name;
        // One read each, 10 ms apart; an empty one is the line going quiet.
        std::vector<std::string> reads;
        // What each read gave, then what the final quiet gave, separated by " | "; "-" for
        // nothing.
        std::string expected;
    };

    // Names the row in test listings instead of dumping its bytes.
    void PrintTo(const DecoderCase& c, std::ostream* os)
    {
        *os << c.name;
    }

    class DecoderTable : public testing::TestWithParam<DecoderCase> { };

    TEST_P(DecoderTable, Decodes)
    {
        const DecoderCase& c = GetParam();
        FrameDecoder decoder;
        std::string got;
        auto step = [&got](const std::vector<LineEvent>& events) {
            if (!got.empty())
                got += " | ";
            if (events.empty())
                got += "-";
            for (std::size_t i = 0; i < events.size(); ++i)
                got += (i ? " " : "") + Describe(events[i]);
        };
        for (std::size_t i = 0; i < c.reads.size(); ++i)
            step(c.reads[i].empty() ? decoder.settle()
                                    : decoder.feed(c.reads[i], static_cast<std::int64_t>(i) * 10));
        step(decoder.settle());
        EXPECT_EQ(got, c.expected);
        EXPECT_FALSE(decoder.holding());
    }

    const std::string S = "\x02";

    // clang-format off
INSTANTIATE_TEST_SUITE_P(Line, DecoderTable, testing::Values(
    // The worked frames. A frame whose high digit is not 0 could still grow (50 is the
    // start of 800..815), so it waits for the next byte or the quiet.
    DecoderCase{"ch1_50", {S + "032"}, "- | CH1=50@0"},
    DecoderCase{"ch4_10", {S + "30A"}, "CH4=10@0 | -"},
    DecoderCase{"ch2_255_then_ch3_96", {S + "1FF" + S + "260"}, "CH2=255@0 | CH3=96@0"},
    DecoderCase{"ch1_0", {S + "000"}, "CH1=0@0 | -"},
    DecoderCase{"minus5_reads_as_11", {S + "00B"}, "CH1=11@0 | -"},
    DecoderCase{"minus20_seven_bytes", {S + "0FFFFC"}, "CH1=-20@0 | -"},
    DecoderCase{"minus16", {S + "0FFFF0"}, "CH1=-16@0 | -"},
    DecoderCase{"minus17", {S + "2FFFFF"}, "CH3=-17@0 | -"},
    DecoderCase{"lowest", {S + "1F8000"}, "CH2=-32768@0 | -"},
    // The definition's five- and six-byte frames, which a capped slider never sends.
    DecoderCase{"three_hundred", {S + "012C"}, "- | CH1=300@0"},
    DecoderCase{"highest", {S + "27FFF"}, "CH3=32767@0 | -"},
    // Joined and split reads.
    DecoderCase{"start_up_in_one_read", {S + "032" + S + "132" + S + "232" + S + "332"},
                "CH1=50@0 CH2=50@0 CH3=50@0 | CH4=50@0"},
    DecoderCase{"byte_by_byte", {S, "0", "3", "2" + S + "1"},
                "- | - | - | CH1=50@0 | bad[02 31]@30"},
    DecoderCase{"seven_bytes_split", {S + "0FF", "FFC"}, "- | CH1=-20@0 | -"},
    DecoderCase{"seven_bytes_split_after_four", {S + "0FF", "FF", "C" + S + "3FF"},
                "- | - | CH1=-20@0 | CH4=255@20"},
    DecoderCase{"test_swing_with_quiet", {S + "0FF", "", S + "060"},
                "- | CH1=255@0 | - | CH1=96@20"},
    DecoderCase{"seven_bytes_then_frame", {S + "0FFFFC" + S + "0FF"}, "CH1=-20@0 | CH1=255@0"},
    // Bytes that form no frame run to the next STX.
    DecoderCase{"garbage_before", {"xy" + S + "032"}, "bad[78 79]@0 | CH1=50@0"},
    DecoderCase{"garbage_between", {S + "032zz" + S + "132"},
                "CH1=50@0 bad[7A 7A]@0 | CH2=50@0"},
    DecoderCase{"garbage_alone_split", {"\xff", "\x01\x7f"}, "bad[FF]@0 | bad[01 7F]@10 | -"},
    DecoderCase{"cut_short_by_stx", {S + "03" + S + "132"}, "bad[02 30 33]@0 | CH2=50@0"},
    DecoderCase{"channel_only_then_quiet", {S + "0", ""}, "- | bad[02 30]@0 | -"},
    DecoderCase{"stx_alone_at_quiet", {S}, "- | bad[02]@0"},
    DecoderCase{"channel_out_of_range", {S + "432" + S + "4"},
                "bad[02 34 33 32]@0 bad[02 34]@0 | -"},
    DecoderCase{"lower_case_digits", {S + "0ff"}, "bad[02 30 66 66]@0 | -"},
    // Runs no frame matches in full: the longest frame they start with, then the rest.
    DecoderCase{"seven_cut_after_three_digits", {S + "0FFF" + S + "1FF"},
                "CH1=4095@0 | CH2=255@0"},
    DecoderCase{"leading_zero_high", {S + "00FF"}, "CH1=15@0 bad[46]@0 | -"},
    DecoderCase{"too_many_digits", {S + "0123456" + S + "000"},
                "CH1=4660@0 bad[35 36]@0 CH1=0@0 | -"}),
    [](const auto& info) { return std::string(info.param.name); });
    // clang-format on

    // The second opinion agrees with the panel's frame builder on every value and channel,
    // with the whole stream cut into reads of random sizes.
    TEST(FrameDecoder, AgreesWithTheFrameBuilderOnEveryValue)
    {
        std::string stream;
        std::vector<std::pair<int, int>> sent;
        for (int v = INT16_MIN; v <= INT16_MAX; ++v) {
            const int channel = (v & 0xFFFF) % 4;
            stream += FormatServoFrame(static_cast<char>('0' + channel), static_cast<int16_t>(v));
            // -1..-15 share their frames with 1..15.
            sent.emplace_back(channel, v < 0 && v > -16 ? v + 16 : v);
        }
        FrameDecoder decoder;
        std::vector<LineEvent> got;
        std::mt19937 random(11);
        for (std::size_t at = 0; at < stream.size();) {
            const std::size_t n = std::min<std::size_t>(random() % 12 + 1, stream.size() - at);
            for (LineEvent& e : decoder.feed(std::string_view(stream).substr(at, n), 0))
                got.push_back(std::move(e));
            at += n;
        }
        for (LineEvent& e : decoder.settle())
            got.push_back(std::move(e));
        ASSERT_EQ(got.size(), sent.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ(got[i].kind, LineEvent::Kind::Frame) << Describe(got[i]);
            ASSERT_EQ(got[i].channel, sent[i].first) << sent[i].second;
            ASSERT_EQ(got[i].value, sent[i].second) << Describe(got[i]);
        }
    }

    TEST(HexText, AsThePanelShowsIt)
    {
        EXPECT_EQ(HexText(0), "0");
        EXPECT_EQ(HexText(50), "32");
        EXPECT_EQ(HexText(255), "FF");
        EXPECT_EQ(HexText(-20), "FFEC");
        EXPECT_EQ(HexText(-32768), "8000");
    }

    TEST(DescribeLine, ReadsTheTerminalSettings)
    {
        struct Row {
            speed_t speed;
            tcflag_t cflag, iflag;
            const char* text;
        };
        const Row rows[] = {
            { B9600, CS8, 0, "9600 8N1" },
            { B1200, CS7 | PARENB | CSTOPB, 0, "1200 7E2" },
            { B19200, CS8 | PARENB | PARODD, 0, "19200 8O1" },
            { B9600, CS8 | PARENB | PARODD | CMSPAR, 0, "9600 8M1" },
            { B38400, CS5 | CRTSCTS, 0, "38400 5N1 RTS/CTS" },
            { B9600, CS8, IXON, "9600 8N1 XON/XOFF" },
        };
        for (const Row& row : rows) {
            termios t {};
            cfmakeraw(&t);
            t.c_cflag = row.cflag;
            t.c_iflag = row.iflag;
            cfsetspeed(&t, row.speed);
            EXPECT_EQ(DescribeLine(t), row.text);
        }
    }

} // namespace
} // namespace servo::sim
