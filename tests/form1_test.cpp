#include "controls.h"
#include "form1.h"
#include "pty.h"
#include "scroll_bar_part.h"
#include "serial_link.h"
#include "servo_frame.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace servo {
namespace {

    using namespace std::chrono_literals;
    using test::ChannelLabel;
    using test::Control;
    using test::Hex;
    using test::Pty;
    using test::Readout;
    using test::ScrollBarPart;
    using test::Slider;
    using test::TestButton;

    std::vector<QMessageBox*> VisibleMessageBoxes()
    {
        std::vector<QMessageBox*> boxes;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
                boxes.push_back(box);
        return boxes;
    }

    std::vector<QMessageBox*> Reports()
    {
        std::vector<QMessageBox*> reports;
        for (QMessageBox* box : VisibleMessageBoxes())
            if (box->objectName() == QLatin1String("failureReport"))
                reports.push_back(box);
        return reports;
    }

    void DismissReports()
    {
        for (QMessageBox* box : Reports())
            box->done(QMessageBox::Ok);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    const std::string kStartUpFrames = "02 30 33 32 02 31 33 32 02 32 33 32 02 33 33 32";

    class Form1Test : public testing::Test {
    protected:
        void TearDown() override
        {
            // Reports are answered here if a test stopped before it could; the window's
            // failure path turns quitting on the last window off, which later tests need.
            DismissReports();
            QGuiApplication::setQuitOnLastWindowClosed(true);
            ClearQuitRequest();
        }

        // EXIT and a closed report ask the application to quit. With no event loop running
        // the request stays pending and would end every later QEventLoop (QSignalSpy::wait)
        // at once; a turn of exec() takes it back.
        static void ClearQuitRequest()
        {
            QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
            QCoreApplication::exec();
        }

        // Starts the window on the pseudo-terminal, shows it, and takes the start-up frames.
        void startShown(Form1& form)
        {
            ASSERT_TRUE(form.start());
            form.show();
            ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
            ASSERT_EQ(Hex(pty.read(16)), kStartUpFrames);
        }

        Pty pty;
    };

    TEST_F(Form1Test, StartUpSendsFiftyOnEveryChannelAndShowsIt)
    {
        Form1 form(pty.path());
        ASSERT_TRUE(form.start());
        EXPECT_EQ(Hex(pty.read(16)), kStartUpFrames);
        EXPECT_EQ(pty.readAll(), "");
        for (int ch = 0; ch < kChannelCount; ++ch) {
            EXPECT_EQ(Readout(form, ch)->text(), QStringLiteral("32")) << ch;
            EXPECT_EQ(Slider(form, ch)->value(), 50) << ch;
            EXPECT_EQ(Slider(form, ch)->minimum(), 1) << ch;
            EXPECT_EQ(Slider(form, ch)->maximum(), 255) << ch;
        }
        EXPECT_EQ(Control<QLineEdit>(form, "Text1")->text(), QStringLiteral("1"));
        EXPECT_TRUE(Reports().empty());
    }

    TEST_F(Form1Test, TypingInTheMinEntryMovesEveryBound)
    {
        Form1 form(pty.path());
        ASSERT_NO_FATAL_FAILURE(startShown(form));
        QLineEdit* entry = Control<QLineEdit>(form, "Text1");
        entry->setFocus();
        QTest::keyClick(entry, Qt::Key_End);
        QTest::keyClick(entry, Qt::Key_Backspace);
        ASSERT_EQ(entry->text(), QString());

        const std::pair<char, int> keys[] = { { '\0', 0 }, { '1', 1 }, { '2', 12 }, { '0', 120 } };
        for (const auto& [key, bound] : keys) {
            if (key)
                QTest::keyClick(entry, key);
            for (int ch = 0; ch < kChannelCount; ++ch)
                EXPECT_EQ(Slider(form, ch)->minimum(), bound) << "channel " << ch;
        }
        // The bound passed the sliders at 50 and dragged them up.
        std::string expected;
        for (char code : { '0', '1', '2', '3' })
            expected += FormatServoFrame(code, 120);
        EXPECT_EQ(Hex(pty.read(expected.size())), Hex(expected));
        EXPECT_EQ(pty.readAll(), "");
        for (int ch = 0; ch < kChannelCount; ++ch)
            EXPECT_EQ(Readout(form, ch)->text(), QStringLiteral("78"));
    }

    TEST_F(Form1Test, TypingInAReadoutSendsNothing)
    {
        Form1 form(pty.path());
        ASSERT_NO_FATAL_FAILURE(startShown(form));
        QLineEdit* readout = Readout(form, 1);
        readout->setFocus();
        QTest::keyClicks(readout, "7F");
        QTest::keyClick(readout, Qt::Key_Return);
        EXPECT_EQ(pty.readAll(200ms), "");
        EXPECT_EQ(Slider(form, 1)->value(), 50);
    }

    // A click, then the ending at once, before the event loop has written the frame: it
    // still goes out, the window goes, and the port is free while the window still exists.
    TEST_F(Form1Test, EndingAtOnceDeliversWhatWasQueuedAndFreesThePort)
    {
        const std::pair<const char*, std::function<void(Form1&)>> endings[] = {
            { "EXIT",
                [](Form1& form) {
                    QTest::mouseClick(Control<QPushButton>(form, "Command1"), Qt::LeftButton);
                } },
            { "title bar close", [](Form1& form) { EXPECT_TRUE(form.close()); } },
        };
        for (const auto& [name, end] : endings) {
            SCOPED_TRACE(name);
            Form1 form(pty.path());
            ASSERT_NO_FATAL_FAILURE(startShown(form));
            QScrollBar* bar = Slider(form, 3);
            QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier,
                ScrollBarPart(bar, QStyle::SC_ScrollBarAddLine).center());
            end(form);

            EXPECT_FALSE(form.isVisible());
            EXPECT_TRUE(Reports().empty());
            EXPECT_EQ(Hex(pty.read(4)), Hex(FormatServoFrame('3', 51)));
            SerialLink next(pty.path());
            EXPECT_TRUE(next.open()) << "the ending left the port held";
            ClearQuitRequest();
        }
    }

    TEST_F(Form1Test, TestClickLightsItsLabelYellowOnly)
    {
        Form1 form(pty.path());
        ASSERT_NO_FATAL_FAILURE(startShown(form));
        // As the window paints it: the bottom-right corner, clear of the text.
        auto window = [&](int ch) {
            const QImage label = form.grab(ChannelLabel(form, ch)->geometry()).toImage();
            return label.pixelColor(label.width() - 1, label.height() - 1);
        };
        const QColor face = form.palette().color(QPalette::Button);
        for (int ch = 0; ch < kChannelCount; ++ch)
            EXPECT_EQ(window(ch), face) << "as created, label " << ch;

        QTest::mouseClick(TestButton(form, 1), Qt::LeftButton);
        EXPECT_EQ(window(1), QColor(255, 255, 0));
        for (int ch : { 0, 2, 3 })
            EXPECT_EQ(window(ch), face) << ch;

        QTest::mouseClick(TestButton(form, 2), Qt::LeftButton);
        EXPECT_EQ(window(2), QColor(255, 255, 0));
        EXPECT_EQ(window(1), face) << "the highlight moves";

        QTest::mouseClick(TestButton(form, 2), Qt::LeftButton);
        for (int ch = 0; ch < kChannelCount; ++ch)
            EXPECT_EQ(window(ch), face) << "stopped, label " << ch;
    }

    // Return and Enter press the focused EXIT or TEST button, once however long they are held,
    // and nothing anywhere else.
    struct KeyOnControl {
        const char* name;
        const char* control;
        Qt::Key key;
        bool autoRepeat;
        const char* selected; // the channel under test afterwards
        bool ended;
    };

    void PrintTo(const KeyOnControl& c, std::ostream* os)
    {
        *os << c.name;
    }

    class Form1Keys : public Form1Test, public testing::WithParamInterface<KeyOnControl> { };

    TEST_P(Form1Keys, ReturnPressesOnlyTheFocusedButton)
    {
        const KeyOnControl& row = GetParam();
        Form1 form(pty.path());
        ASSERT_NO_FATAL_FAILURE(startShown(form));
        QWidget* control = Control<QWidget>(form, QLatin1String(row.control));
        control->setFocus();
        const Qt::KeyboardModifiers keypad
            = row.key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier;
        QTest::sendKeyEvent(QTest::Press, control, row.key, QString(), keypad);
        if (row.autoRepeat) {
            for (int i = 0; i < 3; ++i) {
                QKeyEvent repeat(QEvent::KeyPress, row.key, keypad, QString(), true);
                QApplication::sendEvent(control, &repeat);
            }
        }
        QTest::sendKeyEvent(QTest::Release, control, row.key, QString(), keypad);

        EXPECT_EQ(form.panel().state().SelectedChannel, row.selected);
        EXPECT_EQ(form.isVisible(), !row.ended);
        // A test started shows on the line at the next tick; the first frame is 255.
        const std::string expected
            = *row.selected ? FormatServoFrame(row.selected[0], 255) : std::string();
        EXPECT_EQ(Hex(pty.read(expected.size(), 2500ms)), Hex(expected));
        EXPECT_EQ(pty.readAll(150ms), "");
        if (row.ended) {
            SerialLink next(pty.path());
            EXPECT_TRUE(next.open()) << "EXIT left the port held";
        }
    }

    INSTANTIATE_TEST_SUITE_P(FocusedControl, Form1Keys,
        testing::Values(
            KeyOnControl { "return_on_test", "Command3", Qt::Key_Return, false, "1", false },
            KeyOnControl { "enter_on_test", "Command5", Qt::Key_Enter, false, "3", false },
            KeyOnControl { "held_return_on_test", "Command2", Qt::Key_Return, true, "0", false },
            KeyOnControl { "return_on_exit", "Command1", Qt::Key_Return, false, "", true },
            KeyOnControl { "enter_on_exit", "Command1", Qt::Key_Enter, false, "", true },
            KeyOnControl { "return_on_slider", "HScroll2", Qt::Key_Return, false, "", false },
            KeyOnControl { "return_on_min", "Text1", Qt::Key_Return, false, "", false },
            KeyOnControl { "enter_on_readout", "Text3", Qt::Key_Enter, false, "", false }),
        [](const auto& info) { return std::string(info.param.name); });

    // The timer runs from the window's creation: a test's frames go out on its ticks, a second
    // apart, the first at the next tick after the click rather than a second after it.
    TEST_F(Form1Test, TestSwingsOnTheTicksOfTheFreeRunningSecond)
    {
        Form1 form(pty.path());
        QElapsedTimer sinceCreation;
        sinceCreation.start();
        ASSERT_NO_FATAL_FAILURE(startShown(form));
        // The click at 600 ms into a second of the timer, well clear of its ticks.
        QTest::qWait(int(1600 - sinceCreation.elapsed() % 1000) % 1000);
        QTest::mouseClick(TestButton(form, 2), Qt::LeftButton);
        const qint64 clicked = sinceCreation.elapsed();
        std::vector<qint64> sent;
        for (const char* frame : { "02 32 46 46", "02 32 36 30", "02 32 46 46" }) {
            // A loaded machine may be late; a tick is never more than a second away.
            EXPECT_EQ(Hex(pty.read(4, 2500ms)), frame);
            sent.push_back(sinceCreation.elapsed());
        }
        EXPECT_LT(sent[0] - clicked, 1000) << "the first frame waited a whole second";
        for (qint64 at : sent) {
            const qint64 offTick = std::min(at % 1000, 1000 - at % 1000);
            EXPECT_LE(offTick, 200) << "a frame " << at << " ms after the window was made";
        }
        QTest::mouseClick(TestButton(form, 2), Qt::LeftButton);
        EXPECT_EQ(Slider(form, 2)->value(), 50);
        EXPECT_EQ(Readout(form, 2)->text(), QStringLiteral("32"));
    }

    // The far end goes away mid-run; what then tries to send finds out (a test's tick:
    // PortFault.HungUpMidRun).
    struct HangUp {
        const char* name;
        std::function<void(Form1&)> send;
    };

    void PrintTo(const HangUp& c, std::ostream* os)
    {
        *os << c.name;
    }

    class Form1HangUp : public Form1Test, public testing::WithParamInterface<HangUp> { };

    TEST_P(Form1HangUp, ReportsOnceAndStopsTheTimer)
    {
        Form1 form(pty.path());
        ASSERT_NO_FATAL_FAILURE(startShown(form));
        pty.hangUp();
        GetParam().send(form);

        EXPECT_TRUE(QTest::qWaitFor([] { return !Reports().empty(); }, 5000));
        ASSERT_EQ(Reports().size(), 1u);
        EXPECT_TRUE(Reports().front()->text().contains(pty.path()))
            << Reports().front()->text().toStdString();
        EXPECT_FALSE(form.findChild<QTimer*>(QStringLiteral("Timer1"))->isActive());
        EXPECT_TRUE(form.isVisible()) << "ended as if all went well; the report ends it";

        // Whatever the operator does next raises no second report.
        Slider(form, 0)->setValue(70);
        Slider(form, 1)->setValue(71);
        QTest::qWait(300);
        EXPECT_EQ(VisibleMessageBoxes().size(), 1u);
    }

    INSTANTIATE_TEST_SUITE_P(MidRun, Form1HangUp,
        testing::Values(
            HangUp { "slider_change", [](Form1& form) { Slider(form, 1)->setValue(60); } },
            HangUp { "exit_draining",
                [](Form1& form) {
                    Slider(form, 2)->setValue(60);
                    QTest::mouseClick(Control<QPushButton>(form, "Command1"), Qt::LeftButton);
                } }),
        [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace servo
