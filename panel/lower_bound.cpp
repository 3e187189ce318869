#include "lower_bound.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace servo {
namespace {

    bool IsDigit(char c)
    {
        return c >= '0' && c <= '9';
    }

    size_t SkipDigits(std::string_view text, size_t at)
    {
        while (at < text.size() && IsDigit(text[at]))
            ++at;
        return at;
    }

    // Order of magnitude of the significant digits, so that a number too large or too
    // small for a double can be told apart without computing it.
    long long DecimalMagnitude(
        std::string_view integer, std::string_view fraction, long long exponent)
    {
        const size_t firstInteger = integer.find_first_not_of('0');
        if (firstInteger != std::string_view::npos)
            return static_cast<long long>(integer.size() - firstInteger) + exponent;
        const size_t firstFraction = fraction.find_first_not_of('0');
        if (firstFraction == std::string_view::npos)
            return std::numeric_limits<long long>::min();
        return exponent - static_cast<long long>(firstFraction);
    }

} // namespace

double LeadingNumber(std::string_view text)
{
    size_t at = text.find_first_not_of(" \t");
    if (at == std::string_view::npos)
        return 0.0;

    bool negative = false;
    if (text[at] == '+' || text[at] == '-')
        negative = text[at++] == '-';

    const size_t integerStart = at;
    at = SkipDigits(text, at);
    const std::string_view integer = text.substr(integerStart, at - integerStart);

    std::string_view fraction;
    if (at < text.size() && text[at] == '.') {
        const size_t fractionEnd = SkipDigits(text, at + 1);
        fraction = text.substr(at + 1, fractionEnd - at - 1);
        at = fractionEnd;
    }
    if (integer.empty() && fraction.empty())
        return 0.0;
    const size_t mantissaEnd = at;

    // An exponent counts only when a digit follows the marker and its sign.
    long long exponent = 0;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        size_t digits = at + 1;
        bool negativeExponent = false;
        if (digits < text.size() && (text[digits] == '+' || text[digits] == '-'))
            negativeExponent = text[digits++] == '-';
        const size_t exponentEnd = SkipDigits(text, digits);
        if (exponentEnd > digits) {
            for (size_t i = digits; i < exponentEnd; ++i)
                exponent = std::min(exponent * 10 + (text[i] - '0'), 1'000'000'000LL);
            if (negativeExponent)
                exponent = -exponent;
            at = exponentEnd;
        }
    }

    const long long magnitude = DecimalMagnitude(integer, fraction, exponent);
    const double sign = negative ? -1.0 : 1.0;
    if (magnitude > std::numeric_limits<double>::max_exponent10 + 1)
        return sign * std::numeric_limits<double>::infinity();
    if (magnitude < std::numeric_limits<double>::min_exponent10 - 30)
        return sign * 0.0;

    // from_chars wants the plain form: no sign, and an exponent it can hold.
    std::string plain(text.substr(integerStart, mantissaEnd - integerStart));
    if (exponent != 0)
        plain += 'e' + std::to_string(exponent);
    double value = 0.0;
    const auto [end, error] = std::from_chars(plain.data(), plain.data() + plain.size(), value);
    if (error == std::errc::result_out_of_range)
        value = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return sign * value;
}

int16_t LowerBoundFromText(std::string_view text)
{
    const double rounded = std::nearbyint(LeadingNumber(text));
    if (rounded >= 256.0)
        return 255;
    if (rounded < std::numeric_limits<int16_t>::min())
        return std::numeric_limits<int16_t>::min();
    return static_cast<int16_t>(rounded);
}

} // namespace servo
