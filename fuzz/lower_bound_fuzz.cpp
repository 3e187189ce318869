// Any text typed into "min": the bound stays in -32768..255 and agrees with a slow,
// independent reading.
#include "oracles.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto problem = servo::oracle::CheckLowerBound(text)) {
        std::fprintf(stderr, "min text \"%.*s\": %s\n", static_cast<int>(size), text.data(),
            problem->c_str());
        std::abort();
    }
    return 0;
}
