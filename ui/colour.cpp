#include "colour.h"

#include <cmath>

namespace servo {

QColor ToQColor(ColourValue value, const QPalette& palette)
{
    // The panel names one system colour, the button face (15).
    if (value & kSystemColour)
        return palette.color(QPalette::Button);
    return QColor(value & 0xFF, (value >> 8) & 0xFF, (value >> 16) & 0xFF);
}

QColor TextColourOn(const QColor& background)
{
    // Relative luminance (sRGB): above about 0.18, black text has the higher contrast.
    const auto linear
        = [](qreal v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    const qreal luminance = 0.2126 * linear(background.redF())
        + 0.7152 * linear(background.greenF()) + 0.0722 * linear(background.blueF());
    return luminance > 0.179 ? QColor(Qt::black) : QColor(Qt::white);
}

} // namespace servo
