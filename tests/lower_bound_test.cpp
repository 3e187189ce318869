#include "lower_bound.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>

namespace servo {
namespace {

    constexpr double kInf = std::numeric_limits<double>::infinity();

    struct EntryCase {
        const char* name;
        std::string text;
        double number; // what LeadingNumber reads
        int16_t bound; // what LowerBoundFromText makes of it
    };

    void PrintTo(const EntryCase& c, std::ostream* os)
    {
        *os << c.name;
    }

    class EntryTable : public testing::TestWithParam<EntryCase> { };

    TEST_P(EntryTable, ReadsTheLeadingNumberAndCapsIt)
    {
        const EntryCase& c = GetParam();
        const double number = LeadingNumber(c.text);
        if (std::isinf(c.number)) {
            EXPECT_EQ(number, c.number);
        } else {
            EXPECT_DOUBLE_EQ(number, c.number);
        }
        EXPECT_EQ(LowerBoundFromText(c.text), c.bound);
    }

    const std::string kManyNines(400, '9');
    const std::string kOneThen400Zeros = std::string("1").append(400, '0');
    const std::string k400ZerosThenFive = std::string(400, '0') + "5";

    INSTANTIATE_TEST_SUITE_P(LowerBound, EntryTable,
        testing::Values(
            // No number at the start.
            EntryCase { "empty", "", 0, 0 }, EntryCase { "blanks_only", "   ", 0, 0 },
            EntryCase { "letters_only", "abc", 0, 0 }, EntryCase { "sign_only", "-", 0, 0 },
            EntryCase { "plus_only", "+", 0, 0 }, EntryCase { "dot_only", ".", 0, 0 },
            EntryCase { "sign_then_blank", "- 5", 0, 0 }, EntryCase { "exponent_only", "e5", 0, 0 },
            EntryCase { "radix_prefix_not_read", "0x10", 0, 0 },
            // Plain numbers, blanks, signs.
            EntryCase { "one", "1", 1, 1 }, EntryCase { "leading_blanks", "   12", 12, 12 },
            EntryCase { "leading_tab", "\t7", 7, 7 }, EntryCase { "plus", "+40", 40, 40 },
            EntryCase { "minus_twenty", "-20", -20, -20 },
            EntryCase { "leading_zeros", "0012", 12, 12 },
            EntryCase { "many_leading_zeros", k400ZerosThenFive, 5, 5 },
            // Stops at the first character that cannot continue the number.
            EntryCase { "letters_after", "12abc", 12, 12 },
            EntryCase { "blank_inside", "1 2", 1, 1 },
            EntryCase { "thousands_separator", "1,000", 1, 1 },
            EntryCase { "second_dot", "1.5.5", 1.5, 2 }, EntryCase { "second_sign", "5-3", 5, 5 },
            // Fractions and rounding, halves to even.
            EntryCase { "fraction", "12.4", 12.4, 12 },
            EntryCase { "fraction_up", "12.6", 12.6, 13 },
            EntryCase { "no_integer_part", ".5", 0.5, 0 }, EntryCase { "trailing_dot", "5.", 5, 5 },
            EntryCase { "half_12", "12.5", 12.5, 12 }, EntryCase { "half_13", "13.5", 13.5, 14 },
            EntryCase { "half_minus_2", "-2.5", -2.5, -2 }, EntryCase { "half_0", "0.5", 0.5, 0 },
            EntryCase { "half_minus_0", "-0.5", -0.5, 0 }, EntryCase { "half_1", "1.5", 1.5, 2 },
            // Exponents; a marker without digits is not part of the number.
            EntryCase { "exponent", "1e2", 100, 100 },
            EntryCase { "exponent_upper_plus", "1E+2", 100, 100 },
            EntryCase { "exponent_negative", "1e-1", 0.1, 0 },
            EntryCase { "marker_alone", "1e", 1, 1 },
            EntryCase { "marker_and_sign_alone", "1e+", 1, 1 },
            EntryCase { "marker_then_letter", "7ex", 7, 7 },
            EntryCase { "fraction_and_exponent", "1.25e1", 12.5, 12 },
            EntryCase { "exponent_then_dot", "1e2.5", 100, 100 },
            EntryCase { "exponent_cancels_digits", kOneThen400Zeros + "e-400", 1, 1 },
            EntryCase { "tiny", "1e-400", 0, 0 },
            EntryCase { "zero_huge_exponent", "0e999999", 0, 0 },
            // The cap: 256 and more, of any size, give 255.
            EntryCase { "top", "255", 255, 255 },
            EntryCase { "just_under_top_half", "255.49", 255.49, 255 },
            EntryCase { "rounds_to_256", "255.5", 255.5, 255 },
            EntryCase { "cap", "256", 256, 255 }, EntryCase { "three_hundred", "300", 300, 255 },
            EntryCase {
                "thirty_digits", "123456789012345678901234567890", 1.2345678901234568e29, 255 },
            EntryCase { "many_digits", kManyNines, kInf, 255 },
            EntryCase { "overflow", "1e400", kInf, 255 },
            EntryCase { "huge_exponent", "1e99999999999999999999", kInf, 255 },
            // Below what a slider can hold: the lowest bound instead of a crash.
            EntryCase { "lowest", "-32768", -32768, -32768 },
            EntryCase { "lowest_half", "-32768.5", -32768.5, -32768 },
            EntryCase { "below_lowest", "-32769", -32769, -32768 },
            EntryCase { "far_below", "-40000", -40000, -32768 },
            EntryCase { "negative_overflow", "-1e400", -kInf, -32768 },
            EntryCase { "negative_many_digits", "-" + kManyNines, -kInf, -32768 }),
        [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace servo
