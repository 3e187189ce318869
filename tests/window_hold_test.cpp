// The real window held by a hand that cannot finish the drag: the desktop minimises it, or
// another program unmaps it, while the thumb or an arrow is held. The hold ends then, as a
// release would, and the window takes input again. The display going ends the hold the same
// way before the program ends.
#include "layout.h"
#include "pty.h"
#include "real_program.h"
#include "scroll_bar_part.h"
#include "servo_frame.h"

#include <QScopeGuard>
#include <QScrollBar>

#include <gtest/gtest.h>

#include <xcb/xcb.h>

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

    // What a window manager does to minimise a window and to give it back (ICCCM: the
    // window's WM_STATE, Iconic or Normal, and the window unmapped or mapped).
    void SetIconic(const QString& display, const QString& window, bool iconic)
    {
        xcb_connection_t* x = xcb_connect(display.toLocal8Bit().constData(), nullptr);
        ASSERT_EQ(xcb_connection_has_error(x), 0);
        static const char kName[] = "WM_STATE";
        xcb_intern_atom_reply_t* atom
            = xcb_intern_atom_reply(x, xcb_intern_atom(x, 0, sizeof kName - 1, kName), nullptr);
        ASSERT_NE(atom, nullptr);
        const xcb_window_t id = window.toUInt();
        const uint32_t state[] = { iconic ? 3u : 1u, XCB_NONE };
        if (!iconic)
            xcb_map_window(x, id);
        xcb_change_property(x, XCB_PROP_MODE_REPLACE, id, atom->atom, atom->atom, 32, 2, state);
        if (iconic)
            xcb_unmap_window(x, id);
        free(atom);
        free(xcb_get_input_focus_reply(x, xcb_get_input_focus(x), nullptr)); // a round trip
        xcb_disconnect(x);
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

    enum class Away { Minimised, Unmapped, DisplayGone };
    const char* const kAwayNames[] = { "Minimised", "Unmapped", "DisplayGone" };

    struct Hold {
        Away away;
        bool arrow; // CH1's right arrow held down, stepping on its own, instead of its thumb
    };

    void PrintTo(const Hold& hold, std::ostream* out)
    {
        *out << (hold.arrow ? "Arrow" : "") << kAwayNames[int(hold.away)];
    }

    class HoldOnTheRealWindow : public RealProgram, public testing::WithParamInterface<Hold> { };

    TEST_P(HoldOnTheRealWindow, EndsOnceAndTheWindowTakesInputAgain)
    {
        const auto [away, arrow] = GetParam();
        // The display's end takes a server of the test's own.
        std::unique_ptr<test::Display> own;
        if (away == Away::DisplayGone)
            own = std::make_unique<test::Display>();
        const auto suiteDisplay
            = qScopeGuard([] { qputenv("DISPLAY", s_display->name().toLocal8Bit()); });
        const test::Display& display = own ? *own : *s_display;
        Pty pty;
        Panel panel(display, pty.path());
        const QStringList windows = display.awaitWindows(1, &panel.process());
        ASSERT_EQ(windows.size(), 1) << panel.errors().toStdString();
        const QString window = windows[0];
        ASSERT_EQ(Hex(pty.read(16, 30s)), Hex(test::StartUpFrames()));

        const QPoint thumb = ThumbAtFifty();
        const auto pointTo = [&](QPoint at) {
            Xdotool({ "mousemove", "--window", window, QString::number(at.x()),
                QString::number(at.y()) });
        };
        std::string steps;
        if (arrow) {
            const QRect bar = PixelRect(*FindPlacement("HScroll1"));
            pointTo({ bar.right() - 4, bar.center().y() });
            Xdotool({ "mousedown", "1" });
            steps = pty.read(40, 5s);
            ASSERT_EQ(steps.size(), 40u) << "the arrow did not step on: " << Hex(steps);
        } else {
            // Press on CH1's thumb and drag it 40 px right.
            pointTo(thumb);
            Xdotool({ "mousedown", "1" });
            for (int dx = 5; dx <= 40; dx += 5)
                pointTo(thumb + QPoint(dx, 0));
            EXPECT_EQ(Hex(pty.readAll(300ms)), "") << "sent before the hand let go";
        }

        if (away == Away::Minimised)
            SetIconic(display.name(), window, true);
        else if (away == Away::Unmapped)
            Xdotool({ "windowunmap", "--sync", window });
        else
            own->kill();
        int held = 0;
        if (arrow) {
            // At most the step that was already on its way.
            steps += pty.read(400, 1s);
            ASSERT_LE(steps.size(), 44u) << "stepped on after the unmap: " << Hex(steps);
            held = std::stoi(steps.substr(steps.size() - 2), nullptr, 16);
        } else {
            // The dragged value goes out once, now.
            const std::string sent = pty.read(4, 5s);
            const bool one = sent.size() == 4
                && sent.substr(0, 2)
                    == std::string("\x02"
                                   "0");
            EXPECT_TRUE(one) << "not sent once as the window went away: " << Hex(sent);
            held = one ? std::stoi(sent.substr(2), nullptr, 16) : 0;
            EXPECT_GT(held, 50) << Hex(sent);
        }
        if (away == Away::DisplayGone) {
            // Qt ends the program with status 1 then, and nothing crashes.
            EXPECT_EQ(panel.awaitEnd(10s), EXIT_FAILURE) << panel.errors().toStdString();
            EXPECT_EQ(Hex(pty.readAll(300ms)), "");
            return;
        }

        // The hand lets go while the window is away; the window comes back and the pointer
        // crosses it.
        Xdotool({ "mouseup", "1" });
        if (away == Away::Minimised)
            SetIconic(display.name(), window, false);
        else
            Xdotool({ "windowmap", "--sync", window });
        QThread::msleep(200);
        pointTo({ -20, -20 });
        pointTo(thumb + QPoint(0, 40));
        pointTo(thumb + QPoint(20, 0));
        EXPECT_EQ(Hex(pty.readAll(500ms)), "") << "sent again after the hold ended";

        // Keys reach the window at once: the focused CH1 steps one from the held value.
        s_display->key(window, "Right");
        EXPECT_EQ(Hex(pty.read(4, 5s)), Hex(FormatServoFrame('0', int16_t(held + 1))));
        // And clicks: EXIT ends the panel.
        pointTo(PixelRect(*FindPlacement("Command1")).center());
        Xdotool({ "click", "1" });
        EXPECT_EQ(panel.awaitEnd(10s), EXIT_SUCCESS) << panel.errors().toStdString();
        EXPECT_EQ(Hex(pty.readAll(300ms)), "");
    }

    INSTANTIATE_TEST_SUITE_P(Desktop, HoldOnTheRealWindow,
        testing::Values(Hold { Away::Minimised, false }, Hold { Away::Unmapped, false },
            Hold { Away::Unmapped, true }, Hold { Away::DisplayGone, false }),
        [](const auto& info) { return testing::PrintToString(info.param); });

} // namespace
} // namespace servo
