// Any 16-bit value on any channel: the frame is well formed and decodes back to the value.
#include "oracles.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const auto value = static_cast<int16_t>(data[0] | data[1] << 8);
    const char code = static_cast<char>('0' + (size > 2 ? data[2] % 4 : 0));
    if (const auto problem = servo::oracle::CheckFrame(code, value)) {
        std::fprintf(stderr, "channel %c: %s\n", code, problem->c_str());
        std::abort();
    }
    // Whatever bytes arrive, the decoder only accepts what the encoder can make.
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    for (int v : servo::oracle::FrameValues(bytes)) {
        if (v < INT16_MIN || v > INT16_MAX
            || servo::FormatServoFrame(bytes[1], static_cast<int16_t>(v)) != bytes) {
            std::fprintf(stderr, "bytes decode to %d, which does not encode to them\n", v);
            std::abort();
        }
    }
    return 0;
}
