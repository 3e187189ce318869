#include "slider.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QWindow>

namespace {

// What holding each part does, as QScrollBar does it.
QAbstractSlider::SliderAction ActionOf(QStyle::SubControl part)
{
    switch (part) {
    case QStyle::SC_ScrollBarAddLine:
        return QAbstractSlider::SliderSingleStepAdd;
    case QStyle::SC_ScrollBarSubLine:
        return QAbstractSlider::SliderSingleStepSub;
    case QStyle::SC_ScrollBarAddPage:
        return QAbstractSlider::SliderPageStepAdd;
    case QStyle::SC_ScrollBarSubPage:
        return QAbstractSlider::SliderPageStepSub;
    default:
        return QAbstractSlider::SliderNoAction;
    }
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
    connect(&m_repeat, &QTimer::timeout, this, [this] {
        m_repeat.start(s_repeatInterval);
        step();
    });
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

// Installed on the application for as long as the gesture lasts.
bool Slider::eventFilter(QObject* watched, QEvent* event)
{
    if (!inMyWindow(watched))
        return false;
    if (!watched->isWidgetType()) {
        // The platform's own events reach the window first, with the buttons really down.
        switch (event->type()) {
        case QEvent::Expose:
            // Unmapped by the desktop or another program: the system drops the pointer grab
            // with the window, so the release would never come.
            if (!static_cast<QWindow*>(watched)->isExposed())
                letGo();
            break;
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseMove: {
            // Up, or (a release the window never saw, taken by the desktop's grab) already
            // gone or pressed again.
            const auto* mouse = static_cast<const QMouseEvent*>(event);
            if (!(mouse->buttons() & m_gesture.button)
                || (event->type() == QEvent::MouseButtonPress
                    && mouse->button() == m_gesture.button))
                letGo();
            break;
        }
        default:
            break;
        }
        return false;
    }
    // A held arrow or track takes nothing from the rest of the window: its steps went out.
    // A drag is one gesture of one hand: a key, a wheel notch or a click elsewhere would send
    // another frame in the middle of it, or (on "min") snap the thumb back under the hand.
    if (m_gesture.part != QStyle::SC_ScrollBarSlider)
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
        if (watched == this)
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

// The dragged value goes out once, a held arrow stops stepping, and the window takes input
// again. Whatever the hand does later belongs to no gesture.
void Slider::letGo()
{
    if (!held())
        return;
    const bool thumb = m_gesture.part == QStyle::SC_ScrollBarSlider;
    m_gesture = {};
    m_repeat.stop();
    qApp->removeEventFilter(this);
    update();
    if (thumb)
        setSliderDown(false);
}

void Slider::changeEvent(QEvent* event)
{
    // Disabled, or hidden (the window minimised or closed), the slider hears no release.
    if (event->type() == QEvent::EnabledChange && !isEnabled())
        letGo();
    QScrollBar::changeEvent(event);
}

void Slider::hideEvent(QHideEvent* event)
{
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

// The first button down on a part begins the gesture. The middle one acts as the left: styles
// that jump the thumb to a middle click would send the servo across its travel in one frame,
// as would some styles, or a modifier, with a left click in the track.
void Slider::mousePressEvent(QMouseEvent* event)
{
    event->accept();
    const Qt::MouseButton button = event->button();
    if (held() || (button != Qt::LeftButton && button != Qt::MiddleButton))
        return;
    const QPoint at = event->position().toPoint();
    const QStyle::SubControl part = partAt(at);
    const bool thumb = part == QStyle::SC_ScrollBarSlider;
    if (!thumb && ActionOf(part) == SliderNoAction)
        return;
    m_gesture = { button, part, at, at.x() - partRect(QStyle::SC_ScrollBarSlider).x() };
    qApp->installEventFilter(this);
    update();
    if (thumb) {
        setSliderDown(true);
    } else {
        m_repeat.start(s_repeatDelay);
        step();
    }
}

void Slider::mouseMoveEvent(QMouseEvent* event)
{
    if (!held() || !(event->buttons() & m_gesture.button))
        return;
    m_gesture.pointer = event->position().toPoint();
    update();
    if (m_gesture.part != QStyle::SC_ScrollBarSlider)
        return;
    // Dragged far off the bar, the thumb goes back where it was, on styles that say so.
    QStyleOptionSlider option;
    initStyleOption(&option);
    const int far = style()->pixelMetric(QStyle::PM_MaximumDragDistance, &option, this);
    const bool near = far < 0 || rect().adjusted(-far, -far, far, far).contains(m_gesture.pointer);
    setSliderPosition(near ? valueAt(m_gesture.pointer.x() - m_gesture.grip) : value());
}

void Slider::mouseReleaseEvent(QMouseEvent* event)
{
    event->accept();
    if (event->button() == m_gesture.button)
        letGo();
}

// One step of a held arrow or track, while the part is still under the pointer: an arrow slid
// off waits for the pointer's return, the track stops as the thumb reaches the pointer.
void Slider::step()
{
    if (onHeldPart())
        triggerAction(ActionOf(m_gesture.part));
}

bool Slider::onHeldPart() const
{
    return partAt(m_gesture.pointer) == m_gesture.part;
}

QStyle::SubControl Slider::partAt(QPoint point) const
{
    QStyleOptionSlider option;
    initStyleOption(&option);
    return style()->hitTestComplexControl(QStyle::CC_ScrollBar, &option, point, this);
}

QRect Slider::partRect(QStyle::SubControl part) const
{
    QStyleOptionSlider option;
    initStyleOption(&option);
    return style()->subControlRect(QStyle::CC_ScrollBar, &option, part, this);
}

// The value that puts the thumb's left end at `thumbLeft`, as QScrollBar works it out.
int Slider::valueAt(int thumbLeft) const
{
    const QRect groove = partRect(QStyle::SC_ScrollBarGroove);
    return QStyle::sliderValueFromPosition(minimum(), maximum(), thumbLeft - groove.x(),
        groove.width() - partRect(QStyle::SC_ScrollBarSlider).width());
}

void Slider::paintEvent(QPaintEvent* event)
{
    if (!held()) {
        QScrollBar::paintEvent(event);
    } else {
        // The part in the hand drawn pressed, as QScrollBar draws a part it holds itself.
        QStyleOptionSlider bar;
        initStyleOption(&bar);
        bar.subControls = QStyle::SC_All;
        bar.activeSubControls = m_gesture.part;
        if (m_gesture.part == QStyle::SC_ScrollBarSlider || onHeldPart())
            bar.state |= QStyle::State_Sunken;
        QPainter painter(this);
        style()->drawComplexControl(QStyle::CC_ScrollBar, &bar, &painter, this);
    }
    if (!hasFocus())
        return;
    // An arrow key moves the focused channel's servo, and the styles draw no focus cue on a
    // scroll bar, or a faint one: ring the thumb in the palette's button text colour, which
    // every theme keeps readable on a button face, light or dark. Shown from the start, not
    // only after Tab.
    const QRect thumb = partRect(QStyle::SC_ScrollBarSlider);
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::ButtonText));
    painter.drawRect(thumb.adjusted(2, 2, -3, -3));
}

} // namespace servo
