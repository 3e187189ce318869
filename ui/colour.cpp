#include "colour.h"

namespace servo {

QColor ToQColor(ColourValue value, const QPalette& palette)
{
    // The panel names one system colour, the button face (15).
    if (value & kSystemColour)
        return palette.color(QPalette::Button);
    return QColor(value & 0xFF, (value >> 8) & 0xFF, (value >> 16) & 0xFF);
}

} // namespace servo
