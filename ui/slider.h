#pragma once

#include <QScrollBar>
#include <QStyle>
#include <QTimer>

#include <chrono>

namespace servo {

// A channel's slider: a horizontal scroll bar that moves only the way the operator's hand
// means, since every committed change drives a servo. The slider owns the press: one gesture
// at a time, begun by the first button down on a part and ended by that button's release or
// the moment the hand can no longer finish it; other buttons meanwhile do nothing. While the
// thumb is held nothing else in the window takes a key, a wheel notch or a click. The wheel
// follows the gesture as on any scroll bar, and the keys agree with it (Right, Down and Page
// Down add one); no menu and no click jumps the thumb across the track; the focused slider
// shows it plainly.
class Slider : public QScrollBar {
public:
    explicit Slider(QWidget* parent = nullptr);

    // Ends the gesture as its release would: a held thumb's dragged value is committed (its
    // change event runs inside the call), a held arrow or track stops stepping.
    void letGo();

    // A held arrow or track steps again after the delay, then at every interval: QScrollBar's
    // own times, as no style gives any for scroll bars. Tests stop this clock and tick it.
    static inline std::chrono::milliseconds s_repeatDelay { 500 };
    static inline std::chrono::milliseconds s_repeatInterval { 50 };

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    bool held() const { return m_gesture.button != Qt::NoButton; }
    bool onHeldPart() const;
    QStyle::SubControl partAt(QPoint point) const;
    QRect partRect(QStyle::SubControl part) const;
    int valueAt(int thumbLeft) const;
    void step();
    bool inMyWindow(QObject* object) const;

    struct Gesture {
        Qt::MouseButton button = Qt::NoButton; // the one whose release ends it
        QStyle::SubControl part = QStyle::SC_None;
        QPoint pointer; // where the hand is now
        int grip = 0; // where the hand took the thumb, from its left end
    };
    Gesture m_gesture;
    QTimer m_repeat { this };
};

} // namespace servo
