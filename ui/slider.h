#pragma once

#include <QScrollBar>

namespace servo {

// A channel's slider: a horizontal scroll bar that moves only the way the operator's hand
// means, since every committed change drives a servo. The wheel follows the gesture as on
// any scroll bar, and the keys agree with it (Right, Down and Page Down add one); while the
// thumb is held nothing else in the window takes a key, a wheel notch or a click, and the hold
// ends as a release would the moment the hand can no longer finish it; no menu and no click
// jumps the thumb across the track; the focused slider shows it plainly.
class Slider : public QScrollBar {
public:
    explicit Slider(QWidget* parent = nullptr);

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
    bool pressTrack(QMouseEvent* event);
    bool inMyWindow(QObject* object) const;
    void releaseLost(const QMouseEvent& event);
    void letGo();

    bool m_middleHeld = false; // a middle press that stands in for the left button
};

} // namespace servo
