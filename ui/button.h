#pragma once

#include <QPushButton>

namespace servo {

// A push button that Return and Enter press while it has the focus, as on Windows; no button
// is ever the window's default, so the keys press nothing elsewhere.
class Button : public QPushButton {
public:
    explicit Button(QWidget* parent = nullptr);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

} // namespace servo
