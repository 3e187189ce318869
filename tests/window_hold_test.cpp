// The real window held by a hand that cannot finish the drag: another program unmaps it while
// the thumb is held. A held arrow stops stepping then too, and as soon as its own button comes
// up while another is down; the display's end ends a hold as a release would, without a crash.
// The endings of a hold that need no X server are played in process, at random, by the hand
// model (hand_model_test.cpp).
#include "hex.h"
#include "layout.h"
#include "pty.h"
#include "real_program.h"
#include "scroll_bar_part.h"

#include <QScopeGuard>
#include <QScrollBar>

#include <functional>
#include <memory>

#include <gtest/gtest.h>

namespace servo {
namespace {

    using namespace std::chrono_literals;
    using test::Hex;
    using test::Output;
    using test::Panel;
    using test::Pty;

    using RealProgram = test::RealProgramTest;

    void Xdotool(const QStringList& args)
    {
        Output(QStringLiteral("xdotool"), args);
    }

    // Where CH1's thumb is in the window at 50: a scroll bar of the slider's size and range.
    QPoint ThumbAtFifty()
    {
        const QRect place = PixelRect(*FindPlacement("HScroll1"));
        QScrollBar probe(Qt::Horizontal);
        probe.setRange(1, 255);
        probe.setPageStep(1);
        probe.setValue(50);
        probe.resize(place.size());
        return place.topLeft() + test::ScrollBarPart(&probe, QStyle::SC_ScrollBarSlider).center();
    }

    // The X server's pointer over a point of the window.
    void Hover(const QString& window, QPoint at)
    {
        Xdotool(
            { "mousemove", "--window", window, QString::number(at.x()), QString::number(at.y()) });
    }

    // CH1's thumb taken with the left button and dragged 40 px right, the button kept down;
    // where the thumb was taken.
    QPoint HoldThumbAndDrag(const QString& window)
    {
        const QPoint thumb = ThumbAtFifty();
        Hover(window, thumb);
        Xdotool({ "mousedown", "1" });
        for (int dx = 5; dx <= 40; dx += 5)
            Hover(window, thumb + QPoint(dx, 0));
        return thumb;
    }

    // The panel's one window, once its start-up frames are on the line.
    void AwaitStarted(const test::Display& display, Panel& panel, Pty& pty, QString* window)
    {
        const QStringList windows = display.awaitWindows(1, &panel.process());
        ASSERT_EQ(windows.size(), 1) << panel.errors().toStdString();
        *window = windows[0];
        ASSERT_EQ(Hex(pty.read(16, 30s)), Hex(test::StartUpFrames()));
    }

    // EXIT, clicked, ends the panel: the window takes input.
    void ClickExit(Panel& panel, const QString& window)
    {
        Hover(window, PixelRect(*FindPlacement("Command1")).center());
        Xdotool({ "click", "1" });
        EXPECT_EQ(panel.awaitEnd(10s), EXIT_SUCCESS) << panel.errors().toStdString();
    }

    // CH1's thumb held and dragged 40 px right while the window is unmapped: the dragged value
    // goes out once, at once; the release that comes late, over the window mapped again, and a
    // crossing of the pointer send nothing more; and the slider takes keys again.
    TEST_F(RealProgram, HoldOfAThumbEndsOnceWhenTheWindowIsUnmapped)
    {
        Pty pty;
        Panel panel(*s_display, pty.path());
        QString window;
        ASSERT_NO_FATAL_FAILURE(AwaitStarted(*s_display, panel, pty, &window));

        const QPoint thumb = HoldThumbAndDrag(window);
        EXPECT_EQ(Hex(pty.readAll(1s)), "") << "sent before the hold ended";

        Xdotool({ "windowunmap", "--sync", window });
        const std::string sent = pty.readAll(1s);
        const bool one = sent.size() == 4 && sent.substr(0, 2) == std::string { '\x02', '0' };
        EXPECT_TRUE(one) << "not sent once as the hold ended: " << Hex(sent);
        const int held = one ? std::stoi(sent.substr(2), nullptr, 16) : 0;
        EXPECT_GT(held, 50) << Hex(sent);

        Xdotool({ "windowmap", "--sync", window });
        QThread::msleep(200);
        Hover(window, thumb + QPoint(80, 0));
        Xdotool({ "mouseup", "1" });
        for (QPoint at : { QPoint(-10, -10), thumb, thumb + QPoint(20, 0) })
            Hover(window, at);
        EXPECT_EQ(Hex(pty.readAll(1s)), "") << "sent again after the hold ended";

        // CH1 has the focus from the start.
        s_display->key(window, "Right");
        EXPECT_EQ(Hex(pty.readAll(1s)), Hex(FormatServoFrame('0', int16_t(held + 1))));
        ClickExit(panel, window);
        EXPECT_EQ(Hex(pty.readAll(300ms)), "");
    }

    // CH1's right arrow held down steps on its own until the hand lets go of it; then nothing
    // more is sent, whatever the other buttons or the window do after.
    struct ArrowLetGo {
        const char* name;
        std::function<void(const QString&window)> letGo, after;
    };

    void PrintTo(const ArrowLetGo& row, std::ostream* out)
    {
        *out << row.name;
    }

    const ArrowLetGo kArrowLetGos[] = {
        // Qt ignores a release while another button is down: the middle one kept the arrow
        // stepping until it came up.
        { "LeftUpWhileMiddleDown",
            [](const QString&) {
                Xdotool({ "mousedown", "2" });
                Xdotool({ "mouseup", "1" });
            },
            [](const QString&) {
                Xdotool({ "mouseup", "2" });
            } },
        // The hand lets go while the window is away.
        { "WindowUnmapped",
            [](const QString& window) {
                Xdotool({ "windowunmap", "--sync", window });
            },
            [](const QString& window) {
                Xdotool({ "mouseup", "1" });
                Xdotool({ "windowmap", "--sync", window });
            } },
    };

    class HeldArrow : public RealProgram, public testing::WithParamInterface<ArrowLetGo> { };

    TEST_P(HeldArrow, StopsWhenTheHandLetsGo)
    {
        Pty pty;
        Panel panel(*s_display, pty.path());
        QString window;
        ASSERT_NO_FATAL_FAILURE(AwaitStarted(*s_display, panel, pty, &window));

        const QRect bar = PixelRect(*FindPlacement("HScroll1"));
        Hover(window, { bar.right() - 4, bar.center().y() });
        Xdotool({ "mousedown", "1" });
        const std::string steps = pty.read(40, 5s);
        ASSERT_EQ(steps.size(), 40u) << "the arrow did not step on: " << Hex(steps);
        GetParam().letGo(window);
        // The steps already on their way (xdotool is slow to start on a loaded machine), then
        // none: held on, the arrow sends 20 a second.
        pty.read(400, 500ms);
        EXPECT_EQ(Hex(pty.read(400, 1s)), "") << "stepped on after the hand let go";
        GetParam().after(window);
        EXPECT_EQ(Hex(pty.readAll(1s)), "") << "stepped on after the release";
        ClickExit(panel, window);
    }

    INSTANTIATE_TEST_SUITE_P(RealProgram, HeldArrow, testing::ValuesIn(kArrowLetGos),
        [](const auto& info) { return std::string(info.param.name); });

    // The X server goes away while a thumb is held: the dragged value goes out once, and Qt's
    // ending gives status 1 without a crash.
    TEST_F(RealProgram, DisplayGoneDuringAHold)
    {
        auto own = std::make_unique<test::Display>();
        const auto suiteDisplay
            = qScopeGuard([] { qputenv("DISPLAY", s_display->name().toLocal8Bit()); });
        Pty pty;
        Panel panel(*own, pty.path());
        QString window;
        ASSERT_NO_FATAL_FAILURE(AwaitStarted(*own, panel, pty, &window));

        HoldThumbAndDrag(window);
        EXPECT_EQ(Hex(pty.readAll(300ms)), "") << "sent before the hand let go";
        own->kill();
        const std::string sent = pty.read(4, 5s);
        const bool once = sent.size() == 4 && sent.substr(0, 2) == std::string { '\x02', '0' }
            && std::stoi(sent.substr(2), nullptr, 16) > 50;
        EXPECT_TRUE(once) << "not sent once as the display went: " << Hex(sent);
        EXPECT_EQ(panel.awaitEnd(10s), EXIT_FAILURE) << panel.errors().toStdString();
        EXPECT_EQ(Hex(pty.readAll(300ms)), "");
    }

} // namespace
} // namespace servo
