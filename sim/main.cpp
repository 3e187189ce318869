#include "panel_process.h"
#include "pty_line.h"
#include "sim_window.h"
#include "simulator.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QTimer>

#include <cstdio>

using namespace servo::sim;

namespace {

void Print(const QString& line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

QString LogLine(const Record& r)
{
    const QString bytes = QString::fromLatin1(r.bytes.toHex(' ').toUpper());
    if (!r.frame)
        return QStringLiteral("invalid t=%1 count=%2 bytes=%3")
            .arg(r.atMs)
            .arg(r.bytes.size())
            .arg(bytes);
    return QStringLiteral("frame t=%1 ch=%2 value=%3 hex=%4 since=%5 count=%6 bytes=%7")
        .arg(r.atMs)
        .arg(r.channel + 1)
        .arg(r.value)
        .arg(QString::fromStdString(HexText(r.value)))
        .arg(r.sinceMs < 0 ? QStringLiteral("-") : QString::number(r.sinceMs))
        .arg(r.channelFrames)
        .arg(bytes);
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("servo-sim"));

    QCommandLineParser options;
    options.setApplicationDescription(QApplication::translate("main",
        "A virtual servo controller: starts servo-panel on a pseudo-terminal standing "
        "in for /dev/ttyS0 and shows what arrives on it."));
    options.addHelpOption();
    const QCommandLineOption panelPath(QStringLiteral("panel"),
        QApplication::translate("main", "The panel to start."), QStringLiteral("path"),
        QDir(QApplication::applicationDirPath()).filePath(QStringLiteral("../servo-panel")));
    const QCommandLineOption noPanel(QStringLiteral("no-panel"),
        QApplication::translate("main", "Start no panel; print the terminal's path."));
    const QCommandLineOption log(QStringLiteral("log"),
        QApplication::translate("main", "Print each frame and invalid run on standard output."));
    const QCommandLineOption exitWithPanel(QStringLiteral("exit-with-panel"),
        QApplication::translate("main", "End when the panel ends, with its status."));
    options.addOptions({ panelPath, noPanel, log, exitWithPanel });
    options.process(app);

    PtyLine line;
    if (const QString error = line.open(); !error.isEmpty()) {
        std::fprintf(stderr, "servo-sim: cannot open a pseudo-terminal: %s\n", qPrintable(error));
        return 1;
    }

    SimWindow window;
    // The panel sets the line up after the simulator starts; look again now and then.
    QString settings;
    bool watching = true;
    auto showSettings = [&] {
        if (!watching)
            return;
        const QString now = line.settings();
        if (now == settings)
            return;
        settings = now;
        window.showLine(line.slavePath(), settings);
        if (options.isSet(log))
            Print(QStringLiteral("line %1").arg(settings));
    };
    showSettings();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, showSettings);
    QObject::connect(&line, &PtyLine::received, showSettings);
    QObject::connect(&line, &PtyLine::failed, &window, [&](const QString& reason) {
        watching = false;
        window.showLine(
            line.slavePath(), QApplication::translate("main", "not readable: %1").arg(reason));
        std::fprintf(stderr, "servo-sim: the line is not readable: %s\n", qPrintable(reason));
    });
    poll.start(250);

    Simulator simulator;
    QObject::connect(&line, &PtyLine::received, &simulator, &Simulator::receive);
    QObject::connect(&simulator, &Simulator::decoded, &window, &SimWindow::showRecord);
    if (options.isSet(log))
        QObject::connect(
            &simulator, &Simulator::decoded, [](const Record& r) { Print(LogLine(r)); });

    PanelProcess panel;
    QObject::connect(&panel, &PanelProcess::started, &window, &SimWindow::showPanelRunning);
    QObject::connect(&panel, &PanelProcess::ended, &app,
        [&](int status, const QString& summary, const QString& printed) {
            // Closing, the panel put back the settings it found; keep showing the ones
            // it used.
            watching = false;
            line.readAvailable();
            simulator.settle();
            window.showPanelEnded(status, summary, printed);
            if (options.isSet(log))
                Print(QStringLiteral("ended status=%1 %2").arg(status).arg(summary));
            if (options.isSet(exitWithPanel))
                QCoreApplication::exit(status);
        });
    window.show();
    if (options.isSet(noPanel)) {
        window.showPanelAbsent(line.slavePath());
        Print(line.slavePath());
    } else {
        panel.start(QDir(QApplication::applicationDirPath())
                        .filePath(QStringLiteral("../support/stand-in")),
            line.slavePath(), options.value(panelPath));
    }
    return app.exec();
}
