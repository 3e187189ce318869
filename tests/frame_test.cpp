#include "servo_frame.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace servo {
namespace {

    struct FrameCase {
        const char* name;
        char code;
        int16_t value;
        std::string bytes;
    };

    class FrameTable : public testing::TestWithParam<FrameCase> { };

    TEST_P(FrameTable, EncodesExactly)
    {
        const FrameCase& c = GetParam();
        EXPECT_EQ(FormatServoFrame(c.code, c.value), c.bytes);
    }

    INSTANTIATE_TEST_SUITE_P(Frames, FrameTable,
        testing::Values(FrameCase { "ch1_50", '0', 50,
                            "\x02"
                            "032" },
            FrameCase { "ch4_10", '3', 10,
                "\x02"
                "30A" },
            FrameCase { "ch2_255", '1', 255,
                "\x02"
                "1FF" },
            FrameCase { "ch3_96", '2', 96,
                "\x02"
                "260" },
            FrameCase { "ch1_0", '0', 0,
                "\x02"
                "000" },
            FrameCase { "fifteen", '0', 15,
                "\x02"
                "00F" },
            FrameCase { "sixteen", '0', 16,
                "\x02"
                "010" },
            FrameCase { "minus1", '0', -1,
                "\x02"
                "00F" },
            FrameCase { "minus5", '0', -5,
                "\x02"
                "00B" },
            FrameCase { "minus15", '0', -15,
                "\x02"
                "001" },
            FrameCase { "minus16", '0', -16,
                "\x02"
                "0FFFF0" },
            FrameCase { "minus20", '0', -20,
                "\x02"
                "0FFFFC" },
            FrameCase { "lowest", '1', -32768,
                "\x02"
                "1F8000" },
            FrameCase { "highest", '2', 32767,
                "\x02"
                "27FFF" }),
        [](const auto& info) { return std::string(info.param.name); });

    TEST(FormatHex, RendersWithoutLeadingZerosAndNegativesAsFourDigits)
    {
        const std::pair<int16_t, const char*> cases[] = {
            { 0, "0" },
            { 5, "5" },
            { 10, "A" },
            { 50, "32" },
            { 255, "FF" },
            { 256, "100" },
            { 4095, "FFF" },
            { 4096, "1000" },
            { 32767, "7FFF" },
            { -1, "FFFF" },
            { -20, "FFEC" },
            { -32768, "8000" },
        };
        for (const auto& [n, text] : cases)
            EXPECT_EQ(FormatHex(n), text) << n;
    }

    // Every 16-bit value: STX, the channel, upper-case hex digits, four bytes from -15 to 255
    // and seven below; from 0 to 255 the two digits read as the value. The split of the others
    // is in the table above and in the fuzzers' decoder.
    TEST(FormatServoFrame, EveryValueIsWellFormed)
    {
        for (int v = INT16_MIN; v <= INT16_MAX; ++v) {
            const std::string frame = FormatServoFrame('2', static_cast<int16_t>(v));
            ASSERT_GE(frame.size(), 4u) << v;
            ASSERT_EQ(frame[0], '\x02') << v;
            ASSERT_EQ(frame[1], '2') << v;
            ASSERT_EQ(frame.find_first_not_of("0123456789ABCDEF", 2), std::string::npos) << v;
            if (v >= -15 && v <= 255) {
                ASSERT_EQ(frame.size(), 4u) << v;
            } else if (v < 0) {
                ASSERT_EQ(frame.size(), 7u) << v;
            }
            if (v >= 0 && v <= 255) {
                ASSERT_EQ(std::stoi(frame.substr(2), nullptr, 16), v) << v;
            }
        }
    }

} // namespace
} // namespace servo
