#pragma once

#include <QRect>
#include <QStyle>

class QScrollBar;

namespace servo::test {

// Where the style draws a part of the scroll bar (its arrows, its thumb, its track).
QRect ScrollBarPart(QScrollBar* bar, QStyle::SubControl part);
// Which part is at `at`, as the style hit-tests a press.
QStyle::SubControl ScrollBarPartAt(QScrollBar* bar, QPoint at);

} // namespace servo::test
