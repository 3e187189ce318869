// The real window held by a hand that cannot finish the drag: the desktop minimises it, or
// another program unmaps it, while the thumb is held. The same script as the hold endings of
// the window in process (hold_script.h), here by the X server's pointer. A held arrow stops
// stepping then too, and the display's end ends a hold as a release would, without a crash.
#include "hold_script.h"
#include "layout.h"
#include "pty.h"
#include "real_program.h"
#include "scroll_bar_part.h"

#include <QScopeGuard>
#include <QScrollBar>

#include <memory>

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

    enum class Away { Minimised, Unmapped };

    void PrintTo(Away away, std::ostream* out)
    {
        *out << (away == Away::Minimised ? "minimised" : "unmapped");
    }

    // The hand of the hold script on the real window, by the X server's own pointer and keys.
    class HandOnX : public test::HoldHand {
    public:
        HandOnX(const test::Display& display, const QString& window, Pty& pty)
            : m_display(display)
            , m_window(window)
            , m_pty(pty)
        {
        }
        void press(QPoint at) override
        {
            hover(at);
            Xdotool({ "mousedown", "1" });
        }
        void drag(QPoint to) override { hover(to); }
        void release(QPoint at) override
        {
            hover(at);
            Xdotool({ "mouseup", "1" });
        }
        void hover(QPoint at) override
        {
            Xdotool({ "mousemove", "--window", m_window, QString::number(at.x()),
                QString::number(at.y()) });
        }
        void stepRight() override { m_display.key(m_window, "Right"); }
        std::string line() override { return m_pty.readAll(1s); }

    private:
        const test::Display& m_display;
        QString m_window;
        Pty& m_pty;
    };

    class HoldOnTheRealWindow : public RealProgram, public testing::WithParamInterface<Away> { };

    TEST_P(HoldOnTheRealWindow, EndsOnceAndTheWindowTakesInputAgain)
    {
        const Away away = GetParam();
        Pty pty;
        Panel panel(*s_display, pty.path());
        const QStringList windows = s_display->awaitWindows(1, &panel.process());
        ASSERT_EQ(windows.size(), 1) << panel.errors().toStdString();
        const QString window = windows[0];
        ASSERT_EQ(Hex(pty.read(16, 30s)), Hex(test::StartUpFrames()));

        // CH1, which has the focus from the start.
        HandOnX hand(*s_display, window, pty);
        test::PlayUnfinishedHold(
            hand, ThumbAtFifty(), '0',
            [&] {
                if (away == Away::Minimised)
                    SetIconic(s_display->name(), window, true);
                else
                    Xdotool({ "windowunmap", "--sync", window });
            },
            [&] {
                if (away == Away::Minimised)
                    SetIconic(s_display->name(), window, false);
                else
                    Xdotool({ "windowmap", "--sync", window });
                QThread::msleep(200);
            });

        // And clicks: EXIT ends the panel.
        hand.hover(PixelRect(*FindPlacement("Command1")).center());
        Xdotool({ "click", "1" });
        EXPECT_EQ(panel.awaitEnd(10s), EXIT_SUCCESS) << panel.errors().toStdString();
        EXPECT_EQ(Hex(pty.readAll(300ms)), "");
    }

    INSTANTIATE_TEST_SUITE_P(Desktop, HoldOnTheRealWindow,
        testing::Values(Away::Minimised, Away::Unmapped),
        [](const auto& info) { return info.param == Away::Minimised ? "Minimised" : "Unmapped"; });

    // CH1's right arrow held down steps on its own until the window is unmapped; the hand lets
    // go while it is away, and nothing more is sent.
    TEST_F(RealProgram, HeldArrowStopsWhenTheWindowIsUnmapped)
    {
        Pty pty;
        Panel panel(*s_display, pty.path());
        const QStringList windows = s_display->awaitWindows(1, &panel.process());
        ASSERT_EQ(windows.size(), 1) << panel.errors().toStdString();
        const QString window = windows[0];
        ASSERT_EQ(Hex(pty.read(16, 30s)), Hex(test::StartUpFrames()));

        HandOnX hand(*s_display, window, pty);
        const QRect bar = PixelRect(*FindPlacement("HScroll1"));
        hand.press({ bar.right() - 4, bar.center().y() });
        std::string steps = pty.read(40, 5s);
        ASSERT_EQ(steps.size(), 40u) << "the arrow did not step on: " << Hex(steps);
        Xdotool({ "windowunmap", "--sync", window });
        // At most the step that was already on its way.
        steps += pty.read(400, 1s);
        EXPECT_LE(steps.size(), 44u) << "stepped on after the unmap: " << Hex(steps);
        Xdotool({ "mouseup", "1" });
        Xdotool({ "windowmap", "--sync", window });
        EXPECT_EQ(Hex(pty.readAll(1s)), "") << "stepped on after the release";
        hand.hover(PixelRect(*FindPlacement("Command1")).center());
        Xdotool({ "click", "1" });
        EXPECT_EQ(panel.awaitEnd(10s), EXIT_SUCCESS) << panel.errors().toStdString();
    }

    // The X server goes away while a thumb is held: the dragged value goes out once, and Qt's
    // ending gives status 1 without a crash.
    TEST_F(RealProgram, DisplayGoneDuringAHold)
    {
        auto own = std::make_unique<test::Display>();
        const auto suiteDisplay
            = qScopeGuard([] { qputenv("DISPLAY", s_display->name().toLocal8Bit()); });
        Pty pty;
        Panel panel(*own, pty.path());
        const QStringList windows = own->awaitWindows(1, &panel.process());
        ASSERT_EQ(windows.size(), 1) << panel.errors().toStdString();
        ASSERT_EQ(Hex(pty.read(16, 30s)), Hex(test::StartUpFrames()));

        HandOnX hand(*own, windows[0], pty);
        const QPoint thumb = ThumbAtFifty();
        hand.press(thumb);
        for (int dx = 5; dx <= 40; dx += 5)
            hand.drag(thumb + QPoint(dx, 0));
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
