#include "slider.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionSlider>

namespace {

// The same event with the middle button read as the left one; `buttons` are those held after.
QMouseEvent AsLeftButton(const QMouseEvent& event, Qt::MouseButtons buttons)
{
    if (buttons.testFlag(Qt::MiddleButton))
        buttons = (buttons & ~Qt::MiddleButton) | Qt::LeftButton;
    const Qt::MouseButton button
        = event.button() == Qt::MiddleButton ? Qt::LeftButton : event.button();
    return QMouseEvent(event.type(), event.position(), event.scenePosition(),
        event.globalPosition(), button, buttons, event.modifiers(), event.pointingDevice());
}

} // namespace

namespace servo {

Slider::Slider(QWidget* parent)
    : QScrollBar(Qt::Horizontal, parent)
{
    // A scroll bar inverts its keys by default; Right must add, as the thumb moves.
    setInvertedControls(false);
    setFocusPolicy(Qt::StrongFocus);
    // Qt's menu offers "Left edge" and "Right edge": a servo across its travel in one frame.
    setContextMenuPolicy(Qt::PreventContextMenu);
}

bool Slider::event(QEvent* event)
{
    if (event->type() != QEvent::Wheel)
        return QScrollBar::event(event);
    // A held thumb answers to the hand that holds it and to nothing else.
    if (isSliderDown()) {
        event->accept();
        return true;
    }
    // Qt works out a scroll bar's wheel with its controls inverted, as they are on every
    // other scroll bar; inverted for this one turn, the wheel goes the way the gesture does.
    setInvertedControls(true);
    const bool handled = QScrollBar::event(event);
    setInvertedControls(false);
    return handled;
}

void Slider::keyPressEvent(QKeyEvent* event)
{
    // A key would commit the value from before the drag and snap the thumb back under the
    // hand; the release commits the dragged value.
    if (isSliderDown()) {
        event->accept();
        return;
    }
    QScrollBar::keyPressEvent(event);
}

// A middle click acts as a left one: styles that jump the thumb to a middle click (Fusion
// does) would send the servo across its travel in one frame.
void Slider::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::MiddleButton) {
        if (!pressTrack(event))
            QScrollBar::mousePressEvent(event);
        return;
    }
    event->accept();
    // With another button down, that button's gesture goes on alone.
    if (event->buttons() != Qt::MiddleButton)
        return;
    m_middleHeld = true;
    QMouseEvent left = AsLeftButton(*event, event->buttons());
    if (!pressTrack(&left))
        QScrollBar::mousePressEvent(&left);
}

void Slider::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_middleHeld) {
        QScrollBar::mouseMoveEvent(event);
        return;
    }
    QMouseEvent left = AsLeftButton(*event, event->buttons());
    QScrollBar::mouseMoveEvent(&left);
}

void Slider::mouseReleaseEvent(QMouseEvent* event)
{
    const bool middle = event->button() == Qt::MiddleButton;
    if (!m_middleHeld) {
        if (!middle)
            QScrollBar::mouseReleaseEvent(event);
        return;
    }
    // Only the middle button's own release ends its gesture, whatever else is held.
    if (middle) {
        m_middleHeld = false;
        QMouseEvent left = AsLeftButton(*event, Qt::NoButton);
        QScrollBar::mouseReleaseEvent(&left);
    }
}

// Some styles, or a modifier on some platforms, jump the thumb to a left click in the track;
// here the track steps once toward the pointer, as the page step says. True when handled.
bool Slider::pressTrack(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || event->buttons() != Qt::LeftButton)
        return false;
    QStyleOptionSlider option;
    initStyleOption(&option);
    option.keyboardModifiers = event->modifiers();
    if (!style()->styleHint(QStyle::SH_ScrollBar_LeftClickAbsolutePosition, &option, this))
        return false;
    const QStyle::SubControl part = style()->hitTestComplexControl(
        QStyle::CC_ScrollBar, &option, event->position().toPoint(), this);
    if (part != QStyle::SC_ScrollBarAddPage && part != QStyle::SC_ScrollBarSubPage)
        return false;
    event->accept();
    triggerAction(part == QStyle::SC_ScrollBarAddPage ? SliderPageStepAdd : SliderPageStepSub);
    return true;
}

void Slider::paintEvent(QPaintEvent* event)
{
    QScrollBar::paintEvent(event);
    if (!hasFocus())
        return;
    // An arrow key moves the focused channel's servo, and the styles draw no focus cue on a
    // scroll bar, or a faint one: ring the thumb in the palette's button text colour, which
    // every theme keeps readable on a button face, light or dark. Shown from the start, not
    // only after Tab.
    QStyleOptionSlider bar;
    initStyleOption(&bar);
    const QRect thumb
        = style()->subControlRect(QStyle::CC_ScrollBar, &bar, QStyle::SC_ScrollBarSlider, this);
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::ButtonText));
    painter.drawRect(thumb.adjusted(2, 2, -3, -3));
}

} // namespace servo
