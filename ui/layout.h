#pragma once

#include <QRect>

#include <optional>
#include <string_view>

namespace servo {

// Positions in twips, as the panel was drawn; 15 twips make a device-independent pixel.
struct Placement {
    std::string_view name;
    int left, top, width, height;
    std::optional<int> tab; // focus order, lowest first; empty for controls that never take focus
};

constexpr int kTwipsPerPixel = 15;
// The window's title; the checks find the window, and its report boxes, by it.
constexpr char kWindowTitle[] = "Varnel Pulse Control";
constexpr int kClientWidthTwips = 5070;
constexpr int kClientHeightTwips = 2655;

inline constexpr Placement kLayout[] = {
    { "Label5", 3360, 120, 1215, 255, {} },
    { "Label1", 240, 480, 435, 195, {} },
    { "HScroll1", 840, 420, 3000, 255, 0 },
    { "Text2", 3900, 420, 435, 255, 13 },
    { "Command2", 4440, 420, 555, 255, 17 },
    { "Label2", 240, 900, 435, 195, {} },
    { "HScroll2", 840, 840, 3000, 255, 1 },
    { "Text3", 3900, 840, 435, 255, 14 },
    { "Command3", 4440, 840, 555, 255, 18 },
    { "Label3", 240, 1320, 435, 195, {} },
    { "HScroll3", 840, 1260, 3000, 255, 2 },
    { "Text4", 3900, 1260, 435, 255, 15 },
    { "Command4", 4440, 1260, 555, 255, 19 },
    { "Label4", 240, 1740, 435, 195, {} },
    { "HScroll4", 840, 1680, 3000, 255, 3 },
    { "Text5", 3900, 1680, 435, 255, 16 },
    { "Command5", 4440, 1680, 555, 255, 20 },
    { "Label6", 300, 2220, 315, 195, {} },
    { "Text1", 840, 2160, 435, 255, 10 },
    { "Label7", 1560, 2160, 2355, 315, {} },
    { "Command1", 4200, 2100, 795, 375, 9 },
};

constexpr int TwipsToPixels(int twips)
{
    return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}

inline QRect PixelRect(const Placement& p)
{
    return QRect(TwipsToPixels(p.left), TwipsToPixels(p.top), TwipsToPixels(p.width),
        TwipsToPixels(p.height));
}

constexpr const Placement* FindPlacement(std::string_view name)
{
    for (const Placement& p : kLayout)
        if (p.name == name)
            return &p;
    return nullptr;
}

} // namespace servo
