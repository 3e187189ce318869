#pragma once

#include "table.h"

#include <string>
#include <vector>

namespace servo::bench {

// FormatServoFrame + FormatHex, through Google Benchmark.
Row FrameBuildRow();
// The real window offscreen and the real link, against a pseudo-terminal in this process.
std::vector<Row> InProcessRows(bool changeToLine, bool burst);
// The real executable, a pseudo-terminal standing in for its port.
Row StartupRow(const std::string& executable);
std::vector<Row> LongRunRows(const std::string& executable);

} // namespace servo::bench
