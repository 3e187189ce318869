#pragma once

#include <string>
#include <termios.h>

namespace servo::sim {

// What a terminal's settings make of the line, as a serial terminal program writes it:
// "9600 8N1", with the flow control when there is any ("9600 8N1 RTS/CTS").
std::string DescribeLine(const termios& settings);

} // namespace servo::sim
