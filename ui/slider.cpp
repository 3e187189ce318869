#include "slider.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QWindow>

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
    // A drag is one gesture of one hand: until the thumb is let go, a key, a wheel notch or a
    // click elsewhere would send another frame in the middle of it, or (on "min") re-send the
    // value from before the drag and snap the thumb back under the hand.
    connect(
        this, &QAbstractSlider::sliderPressed, this, [this] { qApp->installEventFilter(this); });
    connect(
        this, &QAbstractSlider::sliderReleased, this, [this] { qApp->removeEventFilter(this); });
}

bool Slider::event(QEvent* event)
{
    // Another window took the keyboard and the pointer: this hand's release goes there.
    if (event->type() == QEvent::WindowDeactivate)
        letGo();
    if (event->type() != QEvent::Wheel)
        return QScrollBar::event(event);
    // Qt works out a scroll bar's wheel with its controls inverted, as they are on every
    // other scroll bar; inverted for this one turn, the wheel goes the way the gesture does.
    setInvertedControls(true);
    const bool handled = QScrollBar::event(event);
    setInvertedControls(false);
    return handled;
}

// Installed on the application only while the hand holds the thumb, an arrow or the track.
bool Slider::eventFilter(QObject* watched, QEvent* event)
{
    if (!held() || !inMyWindow(watched))
        return false;
    const bool toWidget = watched->isWidgetType();
    switch (event->type()) {
    case QEvent::Expose:
        // Unmapped by the desktop or another program: the system drops the pointer grab with
        // the window, so the release would never come, and a crossing later would send it.
        if (!toWidget && !static_cast<QWindow*>(watched)->isExposed())
            letGo();
        return false;
    case QEvent::MouseMove:
        // The platform's own events reach the window first, with the buttons really down.
        if (!toWidget)
            releaseLost(*static_cast<QMouseEvent*>(event));
        return false;
    case QEvent::MouseButtonPress:
        // The window hears of a press before the widget under the pointer does.
        if (!toWidget)
            releaseLost(*static_cast<QMouseEvent*>(event));
        break;
    default:
        break;
    }
    // A held arrow or track takes nothing from the rest of the window: its steps went out.
    if (!isSliderDown())
        return false;
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride: // accepted: no shortcut may take the key either
    case QEvent::Shortcut:
    case QEvent::InputMethod:
    case QEvent::Wheel:
        event->accept();
        return true;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TabletPress:
        // The window hands these on to the widget under the pointer; the held thumb's own
        // release must get through.
        if (!toWidget || watched == this)
            return false;
        // Qt hands a clicked control the focus before any filter sees the click.
        if (!hasFocus())
            setFocus(Qt::MouseFocusReason);
        event->accept();
        return true;
    default:
        return false;
    }
}

bool Slider::inMyWindow(QObject* object) const
{
    if (object->isWidgetType())
        return static_cast<QWidget*>(object)->window() == window();
    return object == window()->windowHandle();
}

// A release the window never saw (a grab taken by the desktop, a pointer that went away)
// would leave the window held for good: the hand has let go, so the drag ends as a release.
void Slider::releaseLost(const QMouseEvent& event)
{
    const Qt::MouseButton holding = m_middleHeld ? Qt::MiddleButton : Qt::LeftButton;
    const bool lost = event.type() == QEvent::MouseButtonPress ? event.button() == holding
                                                               : !(event.buttons() & holding);
    if (lost)
        letGo();
}

// The dragged value goes out once, a held arrow stops stepping, and the window takes input
// again. Whatever the hand does later belongs to no press.
void Slider::letGo()
{
    if (!held())
        return;
    m_stepping = false;
    m_middleHeld = false;
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(), mapToGlobal(QPointF()),
        Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QScrollBar::mouseReleaseEvent(&release);
    // Where Qt already forgot which part was pressed, the release above did nothing.
    if (isSliderDown())
        setSliderDown(false);
    qApp->removeEventFilter(this);
}

void Slider::changeEvent(QEvent* event)
{
    // Disabled, a scroll bar lets go of its thumb but keeps the part pressed, which a move of
    // the pointer over it later would still drag.
    if (event->type() == QEvent::EnabledChange && !isEnabled())
        letGo();
    QScrollBar::changeEvent(event);
}

void Slider::hideEvent(QHideEvent* event)
{
    // Hidden (the window minimised or closed), a scroll bar forgets the part that was pressed
    // but not the thumb being down, so no release would ever end the hold.
    letGo();
    QScrollBar::hideEvent(event);
}

void Slider::keyPressEvent(QKeyEvent* event)
{
    // Down and Page Down go the way the wheel turned down goes, as on Windows' scroll bars;
    // Qt's own keys run them the other way on a horizontal bar.
    switch (event->key()) {
    case Qt::Key_Down:
        triggerAction(SliderSingleStepAdd);
        break;
    case Qt::Key_PageDown:
        triggerAction(SliderPageStepAdd);
        break;
    case Qt::Key_Up:
        triggerAction(SliderSingleStepSub);
        break;
    case Qt::Key_PageUp:
        triggerAction(SliderPageStepSub);
        break;
    default:
        QScrollBar::keyPressEvent(event);
        return;
    }
    event->accept();
}

// A middle click acts as a left one: styles that jump the thumb to a middle click (Fusion
// does) would send the servo across its travel in one frame.
void Slider::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::MiddleButton) {
        if (!pressTrack(event))
            QScrollBar::mousePressEvent(event);
    } else {
        event->accept();
        // With another button down, that button's gesture goes on alone.
        if (event->buttons() != Qt::MiddleButton)
            return;
        m_middleHeld = true;
        QMouseEvent left = AsLeftButton(*event, event->buttons());
        if (!pressTrack(&left))
            QScrollBar::mousePressEvent(&left);
    }
    // Qt steps a held arrow or track again and again until the release, which may never come.
    if (!m_stepping && repeatAction() != SliderNoAction) {
        m_stepping = true;
        qApp->installEventFilter(this);
    }
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
    } else if (middle) {
        // Only the middle button's own release ends its gesture, whatever else is held.
        m_middleHeld = false;
        QMouseEvent left = AsLeftButton(*event, Qt::NoButton);
        QScrollBar::mouseReleaseEvent(&left);
    }
    // Qt keeps a part pressed while another button is down, and then ignores that button's
    // release: the last button up ends the press whichever it is.
    if (event->buttons() == Qt::NoButton)
        letGo();
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
