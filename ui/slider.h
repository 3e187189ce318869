#pragma once

#include <QScrollBar>

namespace servo {

// A channel's slider: a horizontal scroll bar that moves only the way the operator's hand
// means, since every committed change drives a servo. The wheel follows the gesture as on
// any scroll bar, and the keys agree with it (Right, Down and Page Down add one); while the
// thumb is held nothing else in the window takes a key, a wheel notch or a click, and the hold
// ends as a release would the moment the hand can no longer finish it, as does an arrow or the
// track held down, which stops stepping then; no menu and no click jumps the thumb across the
// track; the focused slider shows it plainly.
class Slider : public QScrollBar {
public:
    explicit Slider(QWidget* parent = nullptr);

    // Ends whatever the hand holds as its release would: a held thumb's dragged value is
    // committed (its change event runs inside the call), a held arrow or track stops stepping.
    void letGo();

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
    bool held() const { return isSliderDown() || m_stepping; }

    bool m_middleHeld = false; // a middle press that stands in for the left button
    bool m_stepping = false; // an arrow or the track held down, stepping again and again
};

} // namespace servo
