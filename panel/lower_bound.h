#pragma once

#include <cstdint>
#include <string_view>

namespace servo {

// The number at the start of the text: leading blanks, an optional sign, digits with
// an optional fraction and exponent; anything else ends it. No number reads as 0.
// Overflow reads as an infinity of the number's sign.
double LeadingNumber(std::string_view text);

// The lower bound the "min" entry stands for: the leading number rounded half to
// even, 255 for anything of 256 and more, and -32768 for anything below that, since
// a slider cannot hold less.
int16_t LowerBoundFromText(std::string_view text);

} // namespace servo
