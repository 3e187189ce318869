#pragma once

#include <string>
#include <utility>
#include <vector>

namespace servo::bench {

// One frame on the line: four bytes of ten bits at 9600 baud.
constexpr double kFrameWireMs = 4 * 10 * 1000.0 / 9600;

struct Row {
    Row() = default;
    Row(std::string name, std::string target, std::string note = {})
        : name(std::move(name))
        , target(std::move(target))
        , note(std::move(note))
    {
    }

    std::string name;
    std::string figure;
    std::string target;
    std::string ratio = "-"; // of one frame's wire time, where that means something
    bool ok = false;
    std::string note; // why a row could not be measured, or what went wrong
    std::vector<std::pair<std::string, double>> values; // for the JSON
};

// "1.1%" below one frame, "23.5 frames" above.
std::string RatioToFrame(double ms);
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

void PrintTable(const std::vector<Row>& rows);
bool WriteJson(const std::string& path, const std::vector<Row>& rows);

} // namespace servo::bench
