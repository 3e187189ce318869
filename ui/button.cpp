#include "button.h"

#include <QKeyEvent>

namespace servo {

Button::Button(QWidget* parent)
    : QPushButton(parent)
{
    // Enter must not press a button the operator has not chosen.
    setAutoDefault(false);
    setDefault(false);
}

void Button::keyPressEvent(QKeyEvent* event)
{
    if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter) {
        QPushButton::keyPressEvent(event);
        return;
    }
    event->accept();
    // A held key repeats: it would start and stop a test once per repeat.
    if (!event->isAutoRepeat())
        click();
}

} // namespace servo
