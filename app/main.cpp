#include "ending_signals.h"
#include "form1.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    servo::EndingSignals endings;
    servo::Form1 window(QString::fromLatin1(servo::SerialLink::kFirstPort));
    QObject::connect(&endings, &servo::EndingSignals::received, &window,
                     &servo::Form1::endBySignal);
    // A failed start leaves its report on screen; closing it ends with a failure status.
    if (window.start())
        window.show();
    return app.exec();
}
