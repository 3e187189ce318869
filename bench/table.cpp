#include "table.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace servo::bench {

std::string Format(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string RatioToFrame(double ms)
{
    const double ratio = ms / kFrameWireMs;
    if (ratio < 1.0)
        return Format(ratio < 0.001 ? "%.5f%%" : "%.2f%%", ratio * 100);
    return Format("%.1f frames", ratio);
}

void PrintTable(const std::vector<Row>& rows)
{
    const char* heads[] = { "row", "measured", "target", "of a frame's wire time", "" };
    size_t width[4] = {};
    for (int c = 0; c < 4; ++c)
        width[c] = std::strlen(heads[c]);
    for (const Row& r : rows) {
        width[0] = std::max(width[0], r.name.size());
        width[1] = std::max(width[1], r.figure.size());
        width[2] = std::max(width[2], r.target.size());
        width[3] = std::max(width[3], r.ratio.size());
    }
    auto line = [&](const std::string& a, const std::string& b, const std::string& c,
                    const std::string& d, const std::string& e) {
        std::printf("%-*s  %-*s  %-*s  %-*s  %s\n", int(width[0]), a.c_str(), int(width[1]),
            b.c_str(), int(width[2]), c.c_str(), int(width[3]), d.c_str(), e.c_str());
    };
    std::printf("\none frame (4 bytes, 9600 8N1) takes %.2f ms on the line\n\n", kFrameWireMs);
    line(heads[0], heads[1], heads[2], heads[3], heads[4]);
    line(std::string(width[0], '-'), std::string(width[1], '-'), std::string(width[2], '-'),
        std::string(width[3], '-'), "----");
    for (const Row& r : rows)
        line(r.name, r.figure, r.target, r.ratio, r.ok ? "ok" : "MISS");
    for (const Row& r : rows)
        if (!r.note.empty())
            std::printf("  %s: %s\n", r.name.c_str(), r.note.c_str());
    std::fflush(stdout);
}

bool WriteJson(const std::string& path, const std::vector<Row>& rows)
{
    QJsonArray array;
    bool allOk = true;
    for (const Row& r : rows) {
        QJsonObject values;
        for (const auto& [key, value] : r.values)
            values.insert(QString::fromStdString(key), value);
        QJsonObject row { { "row", QString::fromStdString(r.name) },
            { "measured", QString::fromStdString(r.figure) },
            { "target", QString::fromStdString(r.target) },
            { "ratio_to_frame_wire_time", QString::fromStdString(r.ratio) }, { "ok", r.ok },
            { "values", values } };
        if (!r.note.empty())
            row.insert("note", QString::fromStdString(r.note));
        array.append(row);
        allOk = allOk && r.ok;
    }
    const QJsonObject root { { "frame_wire_time_ms", kFrameWireMs }, { "ok", allOk },
        { "rows", array } };
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(QJsonDocument(root).toJson()) > 0;
}

} // namespace servo::bench
