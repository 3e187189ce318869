// make bench: the panel's cost next to the wire time of one frame.
#include "rows.h"

#include <QApplication>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

using namespace servo::bench;

int main(int argc, char* argv[])
{
    std::string json;
    std::set<std::string> only;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--json") && i + 1 < argc) {
            json = argv[++i];
        } else if (!std::strcmp(argv[i], "--only") && i + 1 < argc) {
            for (const char* name = std::strtok(argv[++i], ","); name;
                 name = std::strtok(nullptr, ","))
                only.insert(name);
        } else {
            std::fprintf(stderr,
                "usage: %s [--json FILE] [--only frame,change,burst,startup,long]\n", argv[0]);
            return 2;
        }
    }
    auto wanted = [&](const char* name) { return only.empty() || only.count(name); };

    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    std::vector<Row> rows;
    if (wanted("frame"))
        rows.push_back(FrameBuildRow());
    if (wanted("change") || wanted("burst"))
        for (Row& row : InProcessRows(wanted("change"), wanted("burst")))
            rows.push_back(std::move(row));
    if (wanted("startup"))
        rows.push_back(StartupRow(SERVO_PANEL_EXECUTABLE));
    if (wanted("long"))
        for (Row& row : LongRunRows(SERVO_PANEL_EXECUTABLE))
            rows.push_back(std::move(row));

    PrintTable(rows);
    if (!json.empty() && !WriteJson(json, rows)) {
        std::fprintf(stderr, "cannot write %s\n", json.c_str());
        return 1;
    }
    const bool allOk = std::all_of(rows.begin(), rows.end(), [](const Row& r) { return r.ok; });
    std::printf("\n%s\n", allOk ? "every row meets its target" : "some rows MISS their target");
    return allOk ? 0 : 1;
}
