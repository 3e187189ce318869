// Port faults against the real window: each ends with one report naming the device and
// the system's reason, a failure status, and nothing sent after it.
#include "controls.h"
#include "form1.h"
#include "pty.h"
#include "servo_frame.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QLockFile>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>

namespace servo {
namespace {

    using namespace std::chrono_literals;
    using test::Hex;
    using test::Pty;

    QString SystemText(int error)
    {
        return QString::fromLocal8Bit(std::strerror(error));
    }

    QList<QMessageBox*> VisibleReports()
    {
        QList<QMessageBox*> boxes;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->objectName() == QLatin1String("failureReport") && w->isVisible())
                boxes.append(qobject_cast<QMessageBox*>(w));
        return boxes;
    }

    struct Ending {
        int status = -1;
        QStringList reports; // the text of every report box that appeared, in order
    };

    // Runs the application's own event loop, as main does, until the program ends: `action`
    // runs first, and each report that appears is read and answered as an operator would.
    // The loop is the real one so that QCoreApplication::exit behaves as in the program.
    Ending RunToEnd(const std::function<void()>& action = {}, std::chrono::milliseconds limit = 15s)
    {
        Ending ending;
        QTimer answerer;
        QList<QMessageBox*> seen;
        QObject::connect(&answerer, &QTimer::timeout, [&] {
            for (QMessageBox* box : VisibleReports()) {
                if (seen.contains(box))
                    continue;
                seen.append(box);
                ending.reports.append(box->text());
                box->button(QMessageBox::Ok)->click();
            }
        });
        answerer.start(20);
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(-99); });
        guard.start(limit);
        if (action)
            QTimer::singleShot(0, action);
        ending.status = QApplication::exec();
        answerer.stop();
        // Anything still pending (a second report) would show now.
        QCoreApplication::processEvents();
        for (QMessageBox* box : VisibleReports()) {
            ending.reports.append(box->text());
            box->close();
        }
        return ending;
    }

    std::string Str(const QString& s)
    {
        return s.toStdString();
    }

    // A start-up that failed stops at its one report, which holds the operator: no window,
    // and nothing of start-up done.
    void ExpectStoppedAtTheReport(Form1& form)
    {
        EXPECT_FALSE(form.isVisible());
        ASSERT_EQ(VisibleReports().size(), 1);
        EXPECT_EQ(QApplication::activeModalWidget(), VisibleReports()[0]);
        EXPECT_EQ(test::Control<QLineEdit>(form, "Text1")->text(), QString()) << "start-up went on";
        for (int channel = 0; channel < kChannelCount; ++channel)
            EXPECT_EQ(test::Slider(form, channel)->value(), 1) << channel;
    }

    // Start-up on `device` fails: no window, one report, a failure status. The report's text.
    QString FailedStartReport(const QString& device)
    {
        Form1 form(device);
        EXPECT_FALSE(form.start());
        ExpectStoppedAtTheReport(form);
        const Ending ending = RunToEnd();
        EXPECT_EQ(ending.status, EXIT_FAILURE);
        EXPECT_EQ(ending.reports.size(), 1) << Str(ending.reports.join(" | "));
        return ending.reports.value(0);
    }

    // Opening fails: no window, one report with the system's reason, status 1.
    struct OpenFault {
        const char* name;
        std::function<QString(QTemporaryDir&)> makeDevice; // returns the device path
        QString (*reason)(); // the text after "device: "
    };

    class OpenFaults : public testing::TestWithParam<OpenFault> { };

    TEST_P(OpenFaults, ReportOnceNeverShowTheWindowAndFail)
    {
        QTemporaryDir dir;
        const QString device = GetParam().makeDevice(dir);
        Form1 form(device);
        EXPECT_FALSE(form.start());
        ExpectStoppedAtTheReport(form);
        EXPECT_FALSE(form.findChild<QTimer*>(QStringLiteral("Timer1"))->isActive());
        EXPECT_FALSE(form.link().write(FormatServoFrame('0', 50)));

        const Ending ending = RunToEnd();
        EXPECT_EQ(ending.status, EXIT_FAILURE);
        ASSERT_EQ(ending.reports.size(), 1) << Str(ending.reports.join(" | "));
        EXPECT_EQ(Str(ending.reports[0]),
            Str(QStringLiteral("Cannot open the port %1: %2").arg(device, GetParam().reason())));
        EXPECT_FALSE(form.isVisible());
        if (QFileInfo(device).isFile()) {
            EXPECT_EQ(QFileInfo(device).size(), 0) << "nothing may reach a file posing as the port";
        }
    }

    INSTANTIATE_TEST_SUITE_P(Port, OpenFaults,
        testing::Values(
            OpenFault { "Missing",
                [](QTemporaryDir& dir) { return dir.filePath(QStringLiteral("ttyS0")); },
                [] { return SystemText(ENOENT); } },
            OpenFault { "NotATerminal",
                [](QTemporaryDir& dir) {
                    const QString path = dir.filePath(QStringLiteral("ttyS0"));
                    std::ofstream(path.toStdString()).flush();
                    return path;
                },
                [] { return SystemText(ENOTTY); } },
            OpenFault { "Directory", [](QTemporaryDir& dir) { return dir.path(); },
                [] { return SystemText(EISDIR); } }),
        [](const auto& info) { return std::string(info.param.name); });

    // The far end hung up before start-up, as an adapter unplugged after the panel was chosen
    // from the menu: the system takes the port's node away with it.
    TEST(PortFault, HungUpBeforeStartUp)
    {
        Pty pty;
        pty.hangUp();
        EXPECT_EQ(Str(FailedStartReport(pty.path())),
            Str(QStringLiteral("Cannot open the port %1: %2").arg(pty.path(), SystemText(ENOENT))));
    }

    // Another program has the port: the panel must not share it, and sends nothing to it.
    TEST(PortFault, HeldByAnotherProgram)
    {
        Pty pty;
        QProcess holder;
        holder.start(QStringLiteral(SERVO_PORT_HOLDER), { pty.path() });
        ASSERT_TRUE(holder.waitForReadyRead(10000)) << Str(holder.readAllStandardError());
        ASSERT_EQ(holder.readLine().trimmed(), "holding");

        EXPECT_EQ(Str(FailedStartReport(pty.path())),
            Str(QStringLiteral("Cannot open the port %1: it is in use by another program "
                               "(port_holder, process %2).")
                    .arg(pty.path())
                    .arg(holder.processId())));
        EXPECT_EQ(Hex(pty.readAll()), "") << "frames reached a port held by another program";
        holder.closeWriteChannel();
        EXPECT_TRUE(holder.waitForFinished(10000));
    }

    // /dev/serial0 leads to a device another program holds by the device's own name, with a
    // lock file alone: refused as the name opened would be.
    TEST(PortFault, HeldUnderTheNameALinkLeadsTo)
    {
        Pty pty;
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("serial0"));
        ASSERT_TRUE(QFile::link(pty.path(), link));
        QLockFile other("/var/lock/LCK.." + pty.path().mid(5).replace('/', '_'));
        ASSERT_TRUE(other.tryLock(0));
        EXPECT_EQ(Str(FailedStartReport(link)),
            Str(QStringLiteral("Cannot open the port %1: it is in use by another program "
                               "(port_fault_tests, process %2).")
                    .arg(link, QString::number(QCoreApplication::applicationPid()))));
        EXPECT_EQ(Hex(pty.readAll()), "") << "frames reached a port held by another program";
    }

    // The adapter is unplugged while a test swings channel 1: the next tick's frame fails,
    // one report appears, the timer stops, and no later tick reports again.
    TEST(PortFault, HungUpMidRun)
    {
        Pty pty;
        Form1 form(pty.path());
        ASSERT_TRUE(form.start());
        form.show();
        EXPECT_EQ(pty.read(16).size(), 16u);
        auto* test = form.findChild<QPushButton*>(QStringLiteral("Command2"));
        QTest::mouseClick(test, Qt::LeftButton);
        EXPECT_EQ(Hex(pty.read(4, 3s)), Hex(FormatServoFrame('0', 255)));

        pty.hangUp();
        QElapsedTimer clock;
        clock.start();
        const Ending ending = RunToEnd([] {}, 20s);
        EXPECT_EQ(ending.status, EXIT_FAILURE);
        ASSERT_EQ(ending.reports.size(), 1) << Str(ending.reports.join(" | "));
        EXPECT_EQ(Str(ending.reports[0]),
            Str(QStringLiteral("Lost the port %1: %2").arg(pty.path(), SystemText(EIO))));
        EXPECT_LT(clock.elapsed(), 5000) << "the failure was noticed late";
        EXPECT_FALSE(form.findChild<QTimer*>(QStringLiteral("Timer1"))->isActive());
        EXPECT_FALSE(form.link().write(FormatServoFrame('0', 96)));
        form.panel().tick();
        QTest::qWait(50);
        EXPECT_TRUE(VisibleReports().isEmpty()) << "a second report appeared";
    }

    // Presses on a focused slider that each change its value, so each sends one frame.
    std::string Wiggle(Form1& form, int presses, qint64* slowestMs)
    {
        auto* slider = form.findChild<QScrollBar*>(QStringLiteral("HScroll2"));
        slider->setFocus();
        std::string sent;
        QElapsedTimer clock;
        for (int i = 0; i < presses; ++i) {
            clock.start();
            QTest::keyClick(slider, i % 2 ? Qt::Key_Left : Qt::Key_Right);
            *slowestMs = std::max(*slowestMs, clock.elapsed());
            sent += FormatServoFrame('1', static_cast<int16_t>(slider->value()));
        }
        return sent;
    }

    // The far end stops reading. Frames queue without blocking the window, and when it reads
    // again everything arrives, in order, nothing dropped or doubled.
    TEST(PortFault, StalledOutputQueuesInOrder)
    {
        QGuiApplication::setQuitOnLastWindowClosed(true); // as in the program, until a failure
        Pty pty;
        Form1 form(pty.path());
        ASSERT_TRUE(form.start());
        form.show();
        std::string expected = pty.read(16);
        ASSERT_EQ(expected.size(), 16u);

        qint64 slowest = 0;
        int presses = 0;
        // Far more than the kernel's buffer for the line holds.
        while (form.link().bytesQueued() < 8192 && presses < 200000) {
            expected += Wiggle(form, 1000, &slowest);
            presses += 1000;
            QCoreApplication::processEvents();
        }
        ASSERT_GE(form.link().bytesQueued(), 8192) << "the line never filled";
        std::cout << presses << " presses, " << expected.size() << " bytes sent, "
                  << form.link().bytesQueued() << " waiting in the link; slowest press " << slowest
                  << " ms\n";
        EXPECT_LT(slowest, 1000) << "a key press on the slider blocked for " << slowest << " ms";

        // The window still answers: a timer fires while the line is full.
        bool fired = false;
        QTimer::singleShot(10, [&] { fired = true; });
        QTest::qWait(200);
        EXPECT_TRUE(fired);
        EXPECT_TRUE(VisibleReports().isEmpty()) << "a full line is not a failure";

        expected.erase(0, 16); // the start-up frames were read above
        const std::string got = pty.read(expected.size(), 60s);
        ASSERT_EQ(got.size(), expected.size());
        EXPECT_TRUE(got == expected) << "bytes dropped or reordered";
        EXPECT_EQ(Hex(pty.readAll()), "") << "bytes doubled";

        const Ending ending = RunToEnd([&] {
            QTest::mouseClick(
                form.findChild<QPushButton*>(QStringLiteral("Command1")), Qt::LeftButton);
        });
        EXPECT_EQ(ending.status, EXIT_SUCCESS);
        EXPECT_TRUE(ending.reports.isEmpty()) << Str(ending.reports.join(" | "));
    }

    // EXIT, or the title bar's close, while the far end reads nothing: the drain gives up after
    // its bound, and the loss of the last frames is reported, not passed over as success.
    class StalledAtEnd : public testing::TestWithParam<bool> { };

    TEST_P(StalledAtEnd, ReportsUndeliveredFramesAndFails)
    {
        const bool byExit = GetParam();
        QGuiApplication::setQuitOnLastWindowClosed(true);
        Pty pty;
        Form1 form(pty.path());
        ASSERT_TRUE(form.start());
        form.show();
        qint64 slowest = 0;
        // Until the kernel takes no more and frames wait in the link's own queue.
        for (int i = 0; i < 200 && form.link().bytesQueued() < 4096; ++i) {
            Wiggle(form, 1000, &slowest);
            QCoreApplication::processEvents();
        }
        ASSERT_GE(form.link().bytesQueued(), 4096);

        QElapsedTimer clock;
        clock.start();
        const Ending ending = RunToEnd([&] {
            if (byExit)
                QTest::mouseClick(
                    form.findChild<QPushButton*>(QStringLiteral("Command1")), Qt::LeftButton);
            else
                form.close();
        });
        EXPECT_EQ(ending.status, EXIT_FAILURE);
        ASSERT_EQ(ending.reports.size(), 1) << Str(ending.reports.join(" | "));
        EXPECT_EQ(Str(ending.reports[0]),
            Str(QStringLiteral("The port %1 did not take the last frames within 2 seconds; "
                               "they were not sent.")
                    .arg(pty.path())));
        EXPECT_LT(clock.elapsed(), 8000) << "the drain was not bounded";
    }

    INSTANTIATE_TEST_SUITE_P(Port, StalledAtEnd, testing::Values(true, false),
        [](const auto& info) { return info.param ? "Exit" : "TitleBarClose"; });

} // namespace
} // namespace servo
