#include "form1.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    servo::Form1 window(QString::fromLatin1(servo::SerialLink::kFirstPort));
    // A failed start leaves its report on screen; closing it ends with a failure status.
    if (window.start())
        window.show();
    return app.exec();
}
