// Sequences of buttons, moves, wheel notches, keys and losses of the window played at random on
// the sliders, as the platform delivers them, against a small model of what the hand meant: a
// slider moves on a press, then only while the button that began the gesture is down (a held
// arrow or track repeating toward the pointer); a drag sends its one value as it ends, and
// nothing else in the window takes input meanwhile; nothing moves after; each readout shows its
// slider's value; the window takes input after every sequence. Seeded. A failing sequence is shrunk
// and printed as one line, which SERVO_HANDS='...' plays again.
#include "controls.h"
#include "form1.h"
#include "pty.h"
#include "scroll_bar_part.h"
#include "servo_frame.h"
#include "slider.h"

#include <QElapsedTimer>
#include <QKeyEvent>
#include <QTest>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>

namespace servo {
namespace {

    using namespace std::chrono_literals;
    using test::Control;
    using test::ScrollBarPart;
    using test::ScrollBarPartAt;
    using Commits = std::vector<std::pair<int, int>>; // channel and value of each change
    using Steps = std::vector<std::string>;

    constexpr unsigned kSeed = 20261210;
    constexpr int kSequences = 2000;
    constexpr int kLongest = 12;
    constexpr Qt::MouseButton kButtons[] = { Qt::LeftButton, Qt::MiddleButton, Qt::RightButton };
    const std::string kButtonNames = "LMR";
    // A slider's parts as steps name them; '_' is the window's face just below the slider.
    const std::string kParts = "<[#]>_";
    constexpr QStyle::SubControl kPartControls[]
        = { QStyle::SC_ScrollBarSubLine, QStyle::SC_ScrollBarSubPage, QStyle::SC_ScrollBarSlider,
              QStyle::SC_ScrollBarAddPage, QStyle::SC_ScrollBarAddLine };

    // Plays steps on the window and keeps the model beside it. A step is a word:
    //   L+2>  the left button (L, M, R) down on CH2's part (see kParts)
    //   L-    the left button up            L!  up, and the window never hears of it
    //   ~2]   the pointer to CH2's part     t   the repeat's clock ticks
    //   w+ w- a wheel notch down or up, where the pointer is
    //   k2+ k2-  Right or Left on CH2       min60  "min" set to 60, by a screen reader's tool
    //   x     while a thumb is held, the rest of the window keyed and clicked past the grab
    //   minimise hide other off2 offw  the window minimised, hidden, another window activated,
    //         CH2 disabled, the window disabled;  back  all of it undone
    class Hand {
    public:
        Hand(Form1& form, const Commits& seen)
            : m_form(form)
            , m_seen(seen)
        {
            for (int c = 0; c < kChannelCount; ++c)
                m_bars[c] = test::Slider(form, c);
        }

        // Plays `steps` from the start state, then lets go, takes the window back and checks
        // that every slider takes a key and a click, away from its bound, and then stands
        // still. False, with `why`, at the first surprise.
        bool play(const Steps& steps)
        {
            reset();
            for (const std::string& step : steps)
                if (!play(step))
                    return false;
            Steps closing = { "back" };
            for (int b = 0; b < 3; ++b)
                if (m_buttons & kButtons[b])
                    closing.push_back(kButtonNames.substr(size_t(b), 1) + "-");
            for (int c = 0; c < kChannelCount; ++c) {
                const bool down = m_values[c] > m_min;
                const std::string slider = std::to_string(c + 1);
                closing.insert(closing.end(),
                    { "k" + slider + (down ? "-" : "+"), "L+" + slider + (down ? "<" : ">"),
                        "L-" });
            }
            closing.push_back("t");
            return std::all_of(closing.begin(), closing.end(),
                [this](const std::string& step) { return play(step, "closing with "); });
        }

        std::string why;

    private:
        struct Gesture {
            int slider;
            Qt::MouseButton button;
            QStyle::SubControl part;
            int grip; // from the thumb's left end
            int position; // where the thumb is dragged to
        };

        bool play(const std::string& step, const char* when = "at ")
        {
            const size_t before = m_seen.size();
            m_expected.clear();
            m_astray.clear();
            const int channel = step.size() > 1 ? step[1] - '1' : 0;
            if (step == "t")
                tick();
            else if (step == "x")
                poke();
            else if (step == "back")
                back();
            else if (step.rfind("min", 0) == 0 && step != "minimise")
                setMin(std::stoi(step.substr(3)));
            else if (step[0] == 'w')
                wheel(step[1] == '+' ? 1 : -1);
            else if (step[0] == 'k')
                key(channel, step[2] == '+' ? 1 : -1);
            else if (step[0] == '~')
                moveTo(pointAt(channel, step[2]));
            else if (std::isupper(step[0]))
                button(kButtons[kButtonNames.find(step[0])], step);
            else
                away(step);
            const Commits seen(m_seen.begin() + long(before), m_seen.end());
            for (int c = 0; c < kChannelCount; ++c)
                if (const QString shown = test::Readout(m_form, c)->text();
                    shown.toStdString() != FormatHex(int16_t(m_values[c])))
                    m_astray += ", CH" + std::to_string(c + 1) + " reads " + shown.toStdString();
            if (seen == m_expected && m_astray.empty())
                return true;
            why = when + step + ": expected " + Show(m_expected) + ", got " + Show(seen) + m_astray;
            return false;
        }

        static std::string Show(const Commits& commits)
        {
            std::string text = "{";
            for (const auto& [channel, value] : commits)
                text += " CH" + std::to_string(channel + 1) + "=" + std::to_string(value);
            return text + " }";
        }

        void reset()
        {
            for (Qt::MouseButton b : kButtons)
                if ((m_buttons | QGuiApplication::mouseButtons()) & b) {
                    m_buttons &= ~b;
                    send(QEvent::MouseButtonRelease, b);
                }
            back();
            m_form.endHold();
            m_form.setLowerBoundText("1");
            for (int c = 0; c < kChannelCount; ++c)
                m_form.setSliderValue(c, 50);
            m_values.fill(50);
            m_min = 1;
            m_gesture.reset();
            m_grab.reset();
            m_pointer = { -1, -1 };
            m_time += 1000; // no double click across sequences
        }

        // The model.
        void expect(int channel, int value)
        {
            value = std::clamp(value, m_min, 255);
            if (value != m_values[channel])
                m_expected.emplace_back(channel, m_values[channel] = value);
        }
        void stepOn(int channel, QStyle::SubControl part)
        {
            const bool adds
                = part == QStyle::SC_ScrollBarAddLine || part == QStyle::SC_ScrollBarAddPage;
            expect(channel, m_values[channel] + (adds ? 1 : -1));
        }
        bool takesInput(int channel) const
        {
            return channel >= 0 && m_enabled[channel] && m_windowEnabled;
        }
        bool thumbHeld() const
        {
            return m_gesture && m_gesture->part == QStyle::SC_ScrollBarSlider;
        }
        void end()
        {
            if (thumbHeld())
                expect(m_gesture->slider, m_gesture->position);
            m_gesture.reset();
        }
        // The window hears of the buttons before any widget does: a gesture whose button is up,
        // or goes down again (its release lost), is over.
        void heard(QEvent::Type type, Qt::MouseButton pressed = Qt::NoButton)
        {
            if (m_gesture
                && (!(m_buttons & m_gesture->button)
                    || (type == QEvent::MouseButtonPress && pressed == m_gesture->button)))
                end();
        }
        QPoint inBar(int channel, QPoint at) const { return m_bars[channel]->mapFrom(&m_form, at); }
        int sliderUnder(QPoint at) const
        {
            const auto bar = std::find(m_bars.begin(), m_bars.end(), m_form.childAt(at));
            return bar == m_bars.end() ? -1 : int(bar - m_bars.begin());
        }
        QPoint pointAt(int channel, char part) const
        {
            QScrollBar* bar = m_bars[channel];
            const QPoint at = part == '_'
                ? QPoint(bar->width() / 2, bar->height() + 5)
                : ScrollBarPart(bar, kPartControls[kParts.find(part)]).center();
            return bar->mapTo(&m_form, at);
        }

        // The steps: the model's word first, then the platform's event.
        void send(QEvent::Type type, Qt::MouseButton button = Qt::NoButton)
        {
            qt_handleMouseEvent(m_form.windowHandle(), m_pointer, m_form.mapToGlobal(m_pointer),
                m_buttons, button, type, Qt::NoModifier, m_time += 20);
        }

        void moveTo(QPoint to)
        {
            // Qt drops a move that goes nowhere; a hidden window hears none.
            if (!m_shown || to == m_pointer)
                return;
            m_pointer = to;
            heard(QEvent::MouseMove);
            const bool dragging = thumbHeld();
            QScrollBar* bar = dragging ? m_bars[m_gesture->slider] : nullptr;
            if (dragging) {
                const QRect groove = ScrollBarPart(bar, QStyle::SC_ScrollBarGroove);
                const int left = inBar(m_gesture->slider, to).x() - m_gesture->grip;
                m_gesture->position = QStyle::sliderValueFromPosition(m_min, 255, left - groove.x(),
                    groove.width() - ScrollBarPart(bar, QStyle::SC_ScrollBarSlider).width());
            }
            send(QEvent::MouseMove);
            if (dragging && bar->sliderPosition() != m_gesture->position)
                m_astray = ", the thumb at " + std::to_string(bar->sliderPosition())
                    + " not under the hand at " + std::to_string(m_gesture->position);
        }

        void button(Qt::MouseButton b, const std::string& step)
        {
            if (step[1] == '+') {
                if (!m_shown || (m_buttons & b))
                    return;
                moveTo(pointAt(step[2] - '1', step[3]));
                m_buttons |= b;
                heard(QEvent::MouseButtonPress, b);
                // The first button down picks the widget that takes every press until all are up.
                if (m_buttons == b)
                    m_grab = sliderUnder(m_pointer);
                const int under = m_grab.value_or(sliderUnder(m_pointer));
                if (!m_gesture && takesInput(under) && b != Qt::RightButton)
                    begin(b, under);
                send(QEvent::MouseButtonPress, b);
            } else if (m_buttons & b) {
                m_buttons &= ~b;
                if (step[1] == '-' && m_shown) {
                    heard(QEvent::MouseButtonRelease);
                    send(QEvent::MouseButtonRelease, b);
                    if (!m_buttons)
                        m_grab.reset();
                }
            }
        }

        void begin(Qt::MouseButton b, int slider)
        {
            QScrollBar* bar = m_bars[slider];
            const QPoint at = inBar(slider, m_pointer);
            const QStyle::SubControl part = ScrollBarPartAt(bar, at);
            const int grip = at.x() - ScrollBarPart(bar, QStyle::SC_ScrollBarSlider).x();
            if (std::find(std::begin(kPartControls), std::end(kPartControls), part)
                == std::end(kPartControls))
                return;
            m_gesture = Gesture { slider, b, part, grip, m_values[slider] };
            if (part != QStyle::SC_ScrollBarSlider)
                stepOn(slider, part);
        }

        void tick()
        {
            // A held arrow steps while the pointer is on it; the track until the thumb gets there.
            if (m_gesture && !thumbHeld()
                && ScrollBarPartAt(m_bars[m_gesture->slider], inBar(m_gesture->slider, m_pointer))
                    == m_gesture->part)
                stepOn(m_gesture->slider, m_gesture->part);
            for (QScrollBar* bar : m_bars)
                if (auto* repeat = bar->findChild<QTimer*>(); repeat && repeat->isActive()) {
                    QTimerEvent tick(repeat->timerId());
                    QCoreApplication::sendEvent(repeat, &tick);
                }
        }

        void wheel(int notches)
        {
            if (!m_shown)
                return;
            const int channel = sliderUnder(m_pointer);
            if (!thumbHeld() && takesInput(channel))
                expect(channel, m_values[channel] + notches);
            QWheelEvent wheel(m_pointer, m_form.mapToGlobal(m_pointer), {}, { 0, -120 * notches },
                m_buttons, Qt::NoModifier, Qt::NoScrollPhase, false);
            QApplication::sendEvent(m_form.windowHandle(), &wheel);
        }

        void key(int channel, int step)
        {
            if (!m_shown)
                return;
            if (!thumbHeld() && takesInput(channel))
                expect(channel, m_values[channel] + step);
            QTest::keyClick(m_bars[channel], step > 0 ? Qt::Key_Right : Qt::Key_Left);
        }

        // Past the pointer's grab, as a touch screen or a screen reader's tool reaches the
        // window: Tab and a key on what has the focus, "150" typed into "min", the TEST buttons
        // keyed and clicked, another slider's arrow clicked. None of it may take effect.
        void poke()
        {
            if (!thumbHeld())
                return;
            QScrollBar* held = m_bars[m_gesture->slider];
            QWidget* focus = m_form.focusWidget();
            auto* entry = Control<QLineEdit>(m_form, "Text1");
            const QString bound = entry->text();
            QTest::keyClick(held, Qt::Key_Tab);
            QTest::keyClick(m_form.focusWidget() ? m_form.focusWidget() : held, Qt::Key_Right);
            QTest::keyClick(held, Qt::Key_Backtab);
            QTest::keyClicks(entry, "150");
            QTest::keyClick(entry, Qt::Key_Return);
            QTest::keyClick(test::TestButton(m_form, 0), Qt::Key_Space);
            QTest::keyClick(test::TestButton(m_form, 1), Qt::Key_Return);
            QTest::keyClick(test::TestButton(m_form, 2), Qt::Key_Enter, Qt::KeypadModifier);
            QTest::mouseClick(test::TestButton(m_form, 3), Qt::LeftButton);
            QTest::mouseDClick(test::TestButton(m_form, 0), Qt::LeftButton);
            QTest::mouseClick(entry, Qt::LeftButton);
            QScrollBar* other = m_bars[(m_gesture->slider + 1) % kChannelCount];
            QTest::mouseClick(other, Qt::LeftButton, {},
                ScrollBarPart(other, QStyle::SC_ScrollBarAddLine).center());
            if (m_form.focusWidget() != focus)
                m_astray += ", the focus moved";
            if (entry->text() != bound)
                m_astray += ", \"min\" reads " + entry->text().toStdString();
            if (!m_form.panel().state().SelectedChannel.empty())
                m_astray += ", a test started";
        }

        void setMin(int bound)
        {
            if (bound == m_min)
                return;
            end();
            m_min = bound;
            for (int c = 0; c < kChannelCount; ++c)
                expect(c, m_values[c]);
            Control<QLineEdit>(m_form, "Text1")->setText(QString::number(bound));
        }

        void away(const std::string& how)
        {
            if (how == "minimise" || how == "hide") {
                if (!m_shown)
                    return;
                end();
                m_shown = false;
                how == "hide" ? m_form.hide() : m_form.showMinimized();
            } else if (how == "other") {
                if (m_form.isActiveWindow())
                    end();
                m_other.show();
                m_other.activateWindow();
                EXPECT_TRUE(QTest::qWaitForWindowActive(&m_other));
            } else if (how == "offw") {
                end();
                m_windowEnabled = false;
                m_form.setEnabled(false);
            } else {
                const int channel = how[3] - '1';
                if (m_gesture && m_gesture->slider == channel)
                    end();
                m_enabled[channel] = false;
                m_bars[channel]->setEnabled(false);
            }
        }

        void back()
        {
            m_shown = m_windowEnabled = true;
            m_enabled.fill(true);
            m_form.setEnabled(true);
            for (QScrollBar* bar : m_bars)
                bar->setEnabled(true);
            if (!m_form.isVisible() || m_form.isMinimized())
                m_form.showNormal();
            m_form.activateWindow();
            EXPECT_TRUE(QTest::qWaitForWindowActive(&m_form));
        }

        Form1& m_form;
        const Commits& m_seen;
        std::array<QScrollBar*, kChannelCount> m_bars {};
        QWidget m_other; // another program's window
        Commits m_expected;
        std::string m_astray; // what else the step changed that it should not have
        std::array<int, kChannelCount> m_values {};
        int m_min = 1;
        std::array<bool, kChannelCount> m_enabled {};
        bool m_windowEnabled = true;
        bool m_shown = true;
        Qt::MouseButtons m_buttons;
        // The slider that takes the presses while a button is down (-1: none).
        std::optional<int> m_grab;
        QPoint m_pointer;
        std::optional<Gesture> m_gesture;
        int m_time = 0;
    };

    Steps Generate(std::mt19937& random)
    {
        const auto pick = [&](int high) { return std::uniform_int_distribution(0, high)(random); };
        const std::string home = std::to_string(pick(3) + 1);
        std::string down;
        Steps steps;
        for (int n = pick(kLongest - 1) + 1; n > 0; --n) {
            // Mostly one slider, now and then another.
            const std::string slider = pick(3) ? home : std::to_string(pick(3) + 1);
            const std::string part(1, kParts[size_t(pick(5))]);
            const int roll = pick(99);
            const char b = kButtonNames[size_t(pick(2))];
            const char up = down.empty() ? 0 : down[size_t(pick(int(down.size()) - 1))];
            static const char* kBounds[] = { "min0", "min1", "min60" };
            static const char* kAways[] = { "minimise", "hide", "other", "offw" };
            std::string step;
            if (roll < 25 && down.find(b) == std::string::npos)
                step = b + ("+" + slider + part), down += b;
            else if (roll < 45 && up)
                step = up + std::string(roll < 42 ? "-" : "!"), down.erase(down.find(up), 1);
            else if (roll < 57)
                step = "~" + slider + part;
            else if (roll < 70)
                step = "t";
            else if (roll < 74)
                step = pick(1) ? "w+" : "w-";
            else if (roll < 79)
                step = "k" + slider + (pick(1) ? "+" : "-");
            else if (roll < 82)
                step = "x";
            else if (roll < 85)
                step = kBounds[pick(2)];
            else if (roll < 93)
                step = pick(4) ? kAways[pick(3)] : "off" + slider;
            else
                step = "back";
            steps.push_back(step);
        }
        return steps;
    }

    std::string Join(const Steps& steps)
    {
        std::string line;
        for (const std::string& step : steps)
            line += (line.empty() ? "" : " ") + step;
        return line;
    }

    // Drops one step at a time while the sequence still fails.
    Steps Shrink(Hand& hand, Steps steps)
    {
        for (size_t at = 0; at < steps.size();) {
            Steps fewer = steps;
            fewer.erase(fewer.begin() + long(at));
            if (!hand.play(fewer))
                steps = fewer;
            else
                ++at;
        }
        return steps;
    }

    // The clock of a held arrow's repeat is in the test's hand: it ticks on "t" only.
    class HandModel : public testing::Test {
    protected:
        void SetUp() override { Slider::s_repeatDelay = Slider::s_repeatInterval = 24h; }
        void TearDown() override
        {
            Slider::s_repeatDelay = 500ms;
            Slider::s_repeatInterval = 50ms;
        }
    };

    TEST_F(HandModel, EveryGestureEndsWithItsOwnButtonOrTheLossOfTheHand)
    {
        test::Pty pty;
        Form1 form(pty.path());
        ASSERT_TRUE(form.start());
        form.show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
        ASSERT_EQ(pty.read(16).size(), 16u);
        Commits committed;
        for (int c = 0; c < kChannelCount; ++c)
            QObject::connect(test::Slider(form, c), &QScrollBar::valueChanged,
                [&, c](int value) { committed.emplace_back(c, value); });
        Hand hand(form, committed);

        std::vector<Steps> sequences;
        if (qEnvironmentVariableIsSet("SERVO_HANDS")) {
            std::istringstream line(qEnvironmentVariable("SERVO_HANDS").toStdString());
            sequences.emplace_back(
                std::istream_iterator<std::string>(line), std::istream_iterator<std::string>());
        } else {
            std::mt19937 random(kSeed);
            while (sequences.size() < kSequences)
                sequences.push_back(Generate(random));
        }
        std::string line;
        QElapsedTimer clock;
        clock.start();
        size_t steps = 0;
        for (size_t n = 0; n < sequences.size(); ++n) {
            steps += sequences[n].size();
            if (!hand.play(sequences[n])) {
                const std::string why = hand.why;
                const Steps shrunk = Shrink(hand, sequences[n]);
                hand.play(shrunk);
                FAIL() << "sequence " << n << " of seed " << kSeed << ", " << why
                       << "\nshrunk: SERVO_HANDS='" << Join(shrunk) << "', " << hand.why;
            }
            line += pty.read(SIZE_MAX / 2, 1ms);
        }
        std::cout << sequences.size() << " sequences, " << steps << " steps, in " << clock.elapsed()
                  << " ms\n";

        // What the model saw change went out on the line, one frame a change.
        form.endHold();
        while (form.link().bytesQueued() > 0)
            line += pty.read(SIZE_MAX / 2, 20ms);
        line += pty.readAll(200ms);
        std::string expected;
        for (const auto& [channel, value] : committed)
            expected += FormatServoFrame(ChannelCode(channel), static_cast<int16_t>(value));
        EXPECT_TRUE(line == expected) << line.size() << " bytes, expected " << expected.size();
    }

} // namespace
} // namespace servo
