#pragma once

#include <QLineEdit>

namespace servo {

// The "min" box. Its line is narrower than a 16-bit number: while it is not being edited it
// shows its text from the first character, so the sign and the leading digits are never the
// part scrolled away, and it draws the text condensed where that is what makes it fit.
class Entry : public QLineEdit {
public:
    explicit Entry(QWidget* parent = nullptr);

protected:
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void fit();
};

} // namespace servo
