// Replays what the fuzzers kept (fuzz/corpus/) against the same properties they check.
#include "oracles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace servo {
namespace {

    std::vector<std::string> Corpus(const char* name)
    {
        std::vector<std::string> inputs;
        for (const auto& entry :
            std::filesystem::directory_iterator(std::filesystem::path(SERVO_FUZZ_CORPUS) / name)) {
            std::ifstream file(entry.path(), std::ios::binary);
            inputs.emplace_back(
                std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        }
        return inputs;
    }

    std::string Printable(const std::string& bytes)
    {
        static constexpr char kDigits[] = "0123456789abcdef";
        std::string out;
        for (unsigned char c : bytes) {
            if (c >= 0x20 && c < 0x7F) {
                out += static_cast<char>(c);
            } else {
                out += "\\x";
                out += kDigits[c >> 4];
                out += kDigits[c & 15];
            }
        }
        return out;
    }

    TEST(FuzzCorpus, MinTextsAgreeWithTheSlowReading)
    {
        const auto inputs = Corpus("lower_bound");
        ASSERT_GE(inputs.size(), 4u);
        for (const std::string& text : inputs)
            EXPECT_EQ(oracle::CheckLowerBound(text), std::nullopt) << '"' << Printable(text) << '"';
    }

    TEST(FuzzCorpus, FramesDecodeBack)
    {
        const auto inputs = Corpus("servo_frame");
        ASSERT_GE(inputs.size(), 2u);
        for (const std::string& bytes : inputs) {
            if (bytes.size() < 2)
                continue;
            const auto value = static_cast<int16_t>(
                static_cast<uint8_t>(bytes[0]) | static_cast<uint8_t>(bytes[1]) << 8);
            const char code = static_cast<char>(
                '0' + (bytes.size() > 2 ? static_cast<uint8_t>(bytes[2]) % 4 : 0));
            EXPECT_EQ(oracle::CheckFrame(code, value), std::nullopt) << Printable(bytes);
        }
    }

    // The slow readings must themselves be right, or the fuzzers check nothing.
    TEST(Oracles, ReadTheCasesWhoseAnswerIsKnown)
    {
        const std::pair<const char*, int> bounds[] = {
            { "", 0 },
            { "  12abc", 12 },
            { "\t-20", -20 },
            { "12.5", 12 },
            { "13.5", 14 },
            { "-2.5", -2 },
            { "1e2", 100 },
            { "1e", 1 },
            { "1e+", 1 },
            { ".5e1", 5 },
            { "+.", 0 },
            { "255.5", 255 },
            { "300", 255 },
            { "1e400", 255 },
            { "-1e400", -32768 },
            { "-32768.5", -32768 },
            { "-32769", -32768 },
            { "0x10", 0 },
            { "1,5", 1 },
            { "e5", 0 },
        };
        for (const auto& [text, bound] : bounds) {
            EXPECT_EQ(oracle::SlowLowerBound(text), bound) << text;
            EXPECT_EQ(oracle::CheckLowerBound(text), std::nullopt) << text;
        }
        using Values = std::vector<int>;
        EXPECT_EQ(oracle::FrameValues("\x02"
                                      "032"),
            Values { 50 });
        EXPECT_EQ(oracle::FrameValues("\x02"
                                      "00F"),
            (Values { 15, -1 }));
        EXPECT_EQ(oracle::FrameValues("\x02"
                                      "0FFFFC"),
            Values { -20 });
        EXPECT_EQ(oracle::FrameValues("\x02"
                                      "0FFFF0"),
            Values { -16 });
        EXPECT_EQ(oracle::FrameValues("\x02"
                                      "1F8000"),
            Values { -32768 });
        for (const char* bad : { "\x02"
                                 "4"
                                 "32",
                 "\x02"
                 "03",
                 "\x02"
                 "0032",
                 "\x02"
                 "03a",
                 "\x02"
                 "07FFF0",
                 "\x03"
                 "032",
                 "\x02"
                 "0FFFFFFF" })
            EXPECT_TRUE(oracle::FrameValues(bad).empty()) << Printable(bad);
    }

} // namespace
} // namespace servo
