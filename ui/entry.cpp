#include "entry.h"

#include <QFocusEvent>
#include <QStyle>
#include <QStyleOptionFrame>

namespace servo {
namespace {

    // QLineEdit keeps this much room on each side of its line, and one pixel for the cursor.
    constexpr int kInnerMargin = 2;
    constexpr int kCursorWidth = 1;

} // namespace

Entry::Entry(QWidget* parent)
    : QLineEdit(parent)
{
    // As the readouts do: 1 px of each inner margin goes to the line.
    setTextMargins(-1, 0, -1, 0);
    connect(this, &QLineEdit::textChanged, this, [this] {
        fit();
        if (!hasFocus())
            setCursorPosition(0);
    });
}

void Entry::focusOutEvent(QFocusEvent* event)
{
    QLineEdit::focusOutEvent(event);
    // Its own menu (a paste) or a look at another window leaves the edit where it was: the
    // next key must not land before the sign.
    if (event->reason() != Qt::PopupFocusReason && event->reason() != Qt::ActiveWindowFocusReason)
        setCursorPosition(0);
}

void Entry::changeEvent(QEvent* event)
{
    QLineEdit::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        fit();
}

// The widest face the text fits in: the window's own, then narrower ones.
void Entry::fit()
{
    QStyleOptionFrame option;
    initStyleOption(&option);
    const QRect contents = style()->subElementRect(QStyle::SE_LineEditContents, &option, this);
    const int line
        = contents.marginsRemoved(textMargins()).width() - 2 * kInnerMargin - kCursorWidth;
    int stretch = QFont::Unstretched;
    for (int narrower : { QFont::Condensed, QFont::ExtraCondensed }) {
        QFont face = font();
        face.setStretch(stretch);
        if (QFontMetrics(face).horizontalAdvance(text()) <= line)
            break;
        stretch = narrower;
    }
    if (font().stretch() == stretch)
        return;
    QFont face;
    face.setStretch(stretch);
    setFont(face);
}

} // namespace servo
