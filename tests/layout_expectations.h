#pragma once

// The panel as drawn, in pixels at 96 dpi (twips / 15, worked out by hand), and the room
// each control leaves for its text. Shared by the 1x and the 2x window suites.

#include <QColor>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRect>
#include <QSignalBlocker>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionFrame>

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>

// Readable failure messages for the Qt types the window suites compare.
inline void PrintTo(const QRect& r, std::ostream* os)
{
    *os << "QRect(" << r.x() << ", " << r.y() << ", " << r.width() << "x" << r.height() << ")";
}
inline void PrintTo(const QSize& s, std::ostream* os)
{
    *os << "QSize(" << s.width() << "x" << s.height() << ")";
}
inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}
inline void PrintTo(const QColor& c, std::ostream* os)
{
    *os << c.name().toStdString();
}

namespace servo::test {

enum class Kind { Label, Slider, TextBox, Button };

struct ExpectedControl {
    const char* name;
    Kind kind;
    QRect rect; // left, top, width, height in device-independent pixels
    const char* text; // caption, or the text a box shows after start-up
};

constexpr int kClientWidth = 338; // 5070 twips
constexpr int kClientHeight = 177; // 2655 twips

inline const ExpectedControl kExpectedControls[] = {
    { "Label5", Kind::Label, { 224, 8, 81, 17 }, "COM1 Only" },
    { "Label1", Kind::Label, { 16, 32, 29, 13 }, "CH1" },
    { "HScroll1", Kind::Slider, { 56, 28, 200, 17 }, nullptr },
    { "Text2", Kind::TextBox, { 260, 28, 29, 17 }, "32" },
    { "Command2", Kind::Button, { 296, 28, 37, 17 }, "TEST" },
    { "Label2", Kind::Label, { 16, 60, 29, 13 }, "CH2" },
    { "HScroll2", Kind::Slider, { 56, 56, 200, 17 }, nullptr },
    { "Text3", Kind::TextBox, { 260, 56, 29, 17 }, "32" },
    { "Command3", Kind::Button, { 296, 56, 37, 17 }, "TEST" },
    { "Label3", Kind::Label, { 16, 88, 29, 13 }, "CH3" },
    { "HScroll3", Kind::Slider, { 56, 84, 200, 17 }, nullptr },
    { "Text4", Kind::TextBox, { 260, 84, 29, 17 }, "32" },
    { "Command4", Kind::Button, { 296, 84, 37, 17 }, "TEST" },
    { "Label4", Kind::Label, { 16, 116, 29, 13 }, "CH4" },
    { "HScroll4", Kind::Slider, { 56, 112, 200, 17 }, nullptr },
    { "Text5", Kind::TextBox, { 260, 112, 29, 17 }, "32" },
    { "Command5", Kind::Button, { 296, 112, 37, 17 }, "TEST" },
    { "Label6", Kind::Label, { 20, 148, 21, 13 }, "min" },
    { "Text1", Kind::TextBox, { 56, 144, 29, 17 }, "1" },
    { "Label7", Kind::Label, { 104, 144, 157, 21 }, "Quorvane" },
    { "Command1", Kind::Button, { 280, 140, 53, 25 }, "EXIT" },
};

// Where the control draws its text, as its style lays it out.
inline QRect TextRoom(QWidget* widget)
{
    if (auto* label = qobject_cast<QLabel*>(widget))
        return label->contentsRect();
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        QStyleOptionFrame option;
        option.initFrom(edit);
        option.rect = edit->rect();
        option.lineWidth = edit->hasFrame()
            ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit)
            : 0;
        QRect room = edit->style()->subElementRect(QStyle::SE_LineEditContents, &option, edit);
        room = room.marginsRemoved(edit->textMargins());
        // QLineEdit keeps 2 px left and right and 1 px above and below inside that rect.
        return room.adjusted(2, 1, -2, -1);
    }
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.rect = button->rect();
        option.text = button->text();
        if (button->autoDefault())
            option.features |= QStyleOptionButton::AutoDefaultButton;
        return button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
    }
    return widget->contentsRect();
}

// The size a text needs in the control's own font, ink overhang included.
inline QSize TextNeeds(QWidget* widget, const QString& text)
{
    const QFontMetrics metrics(widget->font());
    const int width = std::max(metrics.horizontalAdvance(text), metrics.boundingRect(text).width());
    return { width, metrics.height() };
}

// The pixels a caption paints, in device pixels: the control grabbed with and without its
// text. Signals are blocked meanwhile, so the panel sees nothing of it.
inline QRect InkOf(QWidget* widget)
{
    auto* label = qobject_cast<QLabel*>(widget);
    auto* edit = qobject_cast<QLineEdit*>(widget);
    auto* button = qobject_cast<QPushButton*>(widget);
    const QString text = label ? label->text() : edit ? edit->text() : button->text();
    const auto setText = [&](const QString& t) {
        const QSignalBlocker quiet(widget);
        label ? label->setText(t) : edit ? edit->setText(t) : button->setText(t);
    };
    const QImage with = widget->grab().toImage();
    setText(QString());
    const QImage without = widget->grab().toImage();
    setText(text);
    QRect ink;
    for (int y = 0; y < with.height(); ++y)
        for (int x = 0; x < with.width(); ++x)
            if (with.pixel(x, y) != without.pixel(x, y))
                ink |= QRect(x, y, 1, 1);
    return ink;
}

// The caption fits by its font's measure and, as painted, none of its ink is cut off.
inline void ExpectCaptionFits(QWidget* widget, const QString& text)
{
    const QRect room = TextRoom(widget);
    const QSize needs = TextNeeds(widget, text);
    EXPECT_LE(needs.width(), room.width());
    EXPECT_LE(needs.height(), room.height());

    const qreal scale = widget->devicePixelRatioF();
    const QRectF tight = QFontMetricsF(widget->font()).tightBoundingRect(text);
    const QRect ink = InkOf(widget);
    const QRect deviceRoom((QRectF(room.topLeft() * scale, room.size() * scale)).toRect());
    EXPECT_TRUE(deviceRoom.contains(ink))
        << "ink " << testing::PrintToString(ink) << " room " << testing::PrintToString(deviceRoom);
    // Clipped text leaves less ink than the whole of it needs; hinting may shave a pixel.
    EXPECT_GE(ink.width(), tight.width() * scale - 3);
    EXPECT_GE(ink.height(), tight.height() * scale - 3);
}

// A readout shows its text whole across: QLineEdit scrolls a text that, with the one pixel it
// keeps for the cursor, is wider than its line, and then the first digits are cut off.
inline void ExpectReadoutWhole(QLineEdit* readout)
{
    const QString text = readout->text();
    SCOPED_TRACE(text.toStdString());
    const QRect room = TextRoom(readout);
    const int advance = QFontMetrics(readout->font()).horizontalAdvance(text);
    EXPECT_LE(advance + 1, room.width()) << "the line is " << room.width() << " px";

    const qreal scale = readout->devicePixelRatioF();
    const QRect ink = InkOf(readout);
    EXPECT_GE(ink.left(), room.left() * scale) << "ink " << testing::PrintToString(ink);
    EXPECT_LE(ink.right(), (room.right() + 1) * scale) << "ink " << testing::PrintToString(ink);
    // A cut text leaves less ink than the whole of it; hinting may shave a pixel a side.
    const qreal tight = QFontMetricsF(readout->font()).tightBoundingRect(text).width();
    EXPECT_GE(ink.width(), (tight - 2) * scale);
}

} // namespace servo::test
