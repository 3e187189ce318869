// The real window under Xvfb, held by a hand that lets go in ways only an X server gives: the
// window unmapped by another program, the left button coming up while the middle one is
// down, the display gone. A held thumb sends its dragged value once; a held arrow or track
// stops stepping; then nothing more goes out and the slider takes keys again. The endings
// that need no X server are played in process, at random, by the hand model
// (hand_model_test.cpp).
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

    void Xdotool(const QStringList& args)
    {
        Output(QStringLiteral("xdotool"), args);
    }

    // The X server's pointer over a point of the window.
    void Hover(const QString& window, QPoint at)
    {
        Xdotool(
            { "mousemove", "--window", window, QString::number(at.x()), QString::number(at.y()) });
    }

    // Where a part of CH1 is in the window at 50 (a scroll bar of the slider's size and range);
    // the track far to the right of the thumb, near the arrow.
    QPoint PartAtFifty(QStyle::SubControl part)
    {
        const QRect place = PixelRect(*FindPlacement("HScroll1"));
        QScrollBar probe(Qt::Horizontal);
        probe.setRange(1, 255);
        probe.setPageStep(1);
        probe.setValue(50);
        probe.resize(place.size());
        const QRect rect = test::ScrollBarPart(&probe, part);
        return place.topLeft()
            + (part == QStyle::SC_ScrollBarAddPage ? QPoint(rect.right() - 8, rect.center().y())
                                                   : rect.center());
    }

    // The value in the last whole frame of `sent`, or `none`.
    int LastValue(const std::string& sent, int none)
    {
        return sent.size() < 4 ? none : std::stoi(sent.substr(sent.size() - 2), nullptr, 16);
    }

    struct HoldEnding {
        const char* name;
        QStyle::SubControl part;
        std::function<void(const QString& window, test::Display& display)> letGo;
        std::function<void(const QString& window)> after; // the hand's last moves, if any
    };

    void PrintTo(const HoldEnding& row, std::ostream* out)
    {
        *out << row.name;
    }

    void Unmap(const QString& window, test::Display&)
    {
        Xdotool({ "windowunmap", "--sync", window });
    }
    // Qt ignores a release while another button is down.
    void LeftUpWhileMiddleDown(const QString&, test::Display&)
    {
        Xdotool({ "mousedown", "2" });
        Xdotool({ "mouseup", "1" });
    }
    void MiddleUp(const QString&)
    {
        Xdotool({ "mouseup", "2" });
    }
    // The release comes late, over the window mapped again, and the pointer crosses it.
    void UpOverTheWindowAgain(const QString& window)
    {
        Xdotool({ "windowmap", "--sync", window });
        QThread::msleep(200);
        const QPoint thumb = PartAtFifty(QStyle::SC_ScrollBarSlider);
        Hover(window, thumb + QPoint(80, 0));
        Xdotool({ "mouseup", "1" });
        for (QPoint at : { QPoint(-10, -10), thumb, thumb + QPoint(20, 0) })
            Hover(window, at);
    }
    void DisplayGone(const QString&, test::Display& display)
    {
        display.kill();
    }

    const HoldEnding kHoldEndings[] = {
        { "ThumbWindowUnmapped", QStyle::SC_ScrollBarSlider, Unmap, UpOverTheWindowAgain },
        { "ArrowWindowUnmapped", QStyle::SC_ScrollBarAddLine, Unmap, UpOverTheWindowAgain },
        { "ArrowLeftUpWhileMiddleDown", QStyle::SC_ScrollBarAddLine, LeftUpWhileMiddleDown,
            MiddleUp },
        { "TrackLeftUpWhileMiddleDown", QStyle::SC_ScrollBarAddPage, LeftUpWhileMiddleDown,
            MiddleUp },
        // Qt's ending on a lost display gives status 1, without a crash.
        { "ThumbDisplayGone", QStyle::SC_ScrollBarSlider, DisplayGone, nullptr },
    };

    class HoldInTheRealWindow : public test::RealProgramTest,
                                public testing::WithParamInterface<HoldEnding> { };

    TEST_P(HoldInTheRealWindow, SendsNothingOnceTheHandLetsGo)
    {
        const HoldEnding& row = GetParam();
        // The display that goes away is the row's own.
        std::unique_ptr<test::Display> own;
        if (!row.after)
            own = std::make_unique<test::Display>();
        const auto suiteDisplay
            = qScopeGuard([] { qputenv("DISPLAY", s_display->name().toLocal8Bit()); });
        test::Display& display = own ? *own : *s_display;
        Pty pty;
        Panel panel(display, pty.path());
        const QStringList windows = display.awaitWindows(1, &panel.process());
        ASSERT_EQ(windows.size(), 1) << panel.errors().toStdString();
        const QString window = windows[0];
        ASSERT_EQ(Hex(pty.read(16, 30s)), Hex(test::StartUpFrames()));

        const bool thumb = row.part == QStyle::SC_ScrollBarSlider;
        const QPoint at = PartAtFifty(row.part);
        Hover(window, at);
        Xdotool({ "mousedown", "1" });
        std::string sent;
        if (thumb) {
            for (int dx = 5; dx <= 40; dx += 5)
                Hover(window, at + QPoint(dx, 0));
            EXPECT_EQ(Hex(pty.readAll(1s)), "") << "sent before the hand let go";
        } else {
            sent = pty.read(40, 5s);
            ASSERT_EQ(sent.size(), 40u) << "did not step on: " << Hex(sent);
        }
        row.letGo(window, display);
        // The thumb's one value; or steps already on their way (xdotool is slow to start on a
        // loaded machine). Held on, an arrow sends 20 frames a second.
        const std::string settled = thumb ? pty.read(4, 5s) : pty.read(400, 500ms);
        const int last = LastValue(sent + settled, 50);
        const bool once = settled.size() == 4 && settled[1] == '0' && last > 50;
        EXPECT_TRUE(!thumb || once) << "not sent once as the hold ended: " << Hex(settled);
        EXPECT_EQ(Hex(pty.read(400, 1s)), "") << "sent on after the hand let go";

        if (!row.after) {
            EXPECT_EQ(panel.awaitEnd(10s), EXIT_FAILURE) << panel.errors().toStdString();
            return;
        }
        row.after(window);
        EXPECT_EQ(Hex(pty.readAll(1s)), "") << "sent on after the release";
        // CH1 has the focus from the start; EXIT, clicked, ends the panel.
        display.key(window, "Right");
        EXPECT_EQ(Hex(pty.readAll(1s)), Hex(FormatServoFrame('0', int16_t(last + 1))));
        Hover(window, PixelRect(*FindPlacement("Command1")).center());
        Xdotool({ "click", "1" });
        EXPECT_EQ(panel.awaitEnd(10s), EXIT_SUCCESS) << panel.errors().toStdString();
        EXPECT_EQ(Hex(pty.readAll(300ms)), "");
    }

    INSTANTIATE_TEST_SUITE_P(RealProgram, HoldInTheRealWindow, testing::ValuesIn(kHoldEndings),
        [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace servo
