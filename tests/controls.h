#pragma once

// The window's controls by the names it gives them (one that is missing fails the test), and
// the pointer over them.

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QWidget>

#include <gtest/gtest.h>

namespace servo::test {

template <typename Widget = QWidget> Widget* Control(const QWidget& window, const QString& name)
{
    auto* widget = window.findChild<Widget*>(name);
    if (!widget)
        ADD_FAILURE() << "no control " << name.toStdString();
    return widget;
}

inline QScrollBar* Slider(const QWidget& window, int channel)
{
    return Control<QScrollBar>(window, QStringLiteral("HScroll%1").arg(channel + 1));
}
inline QLineEdit* Readout(const QWidget& window, int channel)
{
    return Control<QLineEdit>(window, QStringLiteral("Text%1").arg(channel + 2));
}
inline QLabel* ChannelLabel(const QWidget& window, int channel)
{
    return Control<QLabel>(window, QStringLiteral("Label%1").arg(channel + 1));
}
inline QPushButton* TestButton(const QWidget& window, int channel)
{
    return Control<QPushButton>(window, QStringLiteral("Command%1").arg(channel + 2));
}

// The pointer moves over a control, to a point in it, with `buttons` held.
inline void Move(QWidget* widget, QPoint to, Qt::MouseButtons buttons)
{
    QMouseEvent move(
        QEvent::MouseMove, to, widget->mapToGlobal(to), Qt::NoButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(widget, &move);
}

} // namespace servo::test
