#pragma once

#include "panel_view.h"

#include <QColor>
#include <QPalette>

namespace servo {

// 0x00BBGGRR to a Qt colour; system colours come from the palette.
QColor ToQColor(ColourValue value, const QPalette& palette);

// Black or white, whichever reads better on `background`.
QColor TextColourOn(const QColor& background);

} // namespace servo
