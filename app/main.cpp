#include "form1.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    // Task bars and Wayland compositors match the window to its menu entry by this name; the
    // icon is built in, so the window has it even where the package is not installed.
    QGuiApplication::setDesktopFileName(QStringLiteral("servo-panel"));
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/servo-panel.svg")));
    servo::Form1 window(QString::fromLatin1(servo::SerialLink::kFirstPort));
    // A failed start leaves its report on screen; closing it ends with a failure status.
    if (window.start())
        window.show();
    return app.exec();
}
