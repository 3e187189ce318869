// Sequences of buttons, moves, wheel notches, keys and losses of the window played at random on
// the sliders, as the platform delivers them, against a small model of what the hand meant: a
// slider moves on a press, then only while the button that began the gesture is down (a held
// arrow or track repeating toward the pointer); a drag sends its one value as it ends; nothing
// moves after; the window takes input after every sequence. Seeded. A failing sequence is
// shrunk and printed as one line, which SERVO_HANDS='...' plays again.
#include "controls.h"
#include "form1.h"
#include "hex.h"
#include "pty.h"
#include "scroll_bar_part.h"
#include "servo_frame.h"
#include "slider.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
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
    using test::ScrollBarPart;
    using test::ScrollBarPartAt;
    using Commits = std::vector<std::pair<int, int>>; // channel and value of each change

    constexpr unsigned kSeed = 20261210;
    constexpr int kSequences = 2000;
    constexpr int kLongest = 12;
    constexpr Qt::MouseButton kButtons[] = { Qt::LeftButton, Qt::MiddleButton, Qt::RightButton };
    constexpr char kButtonNames[] = "LMR";
    // A slider's parts as steps name them; '_' is the window's face just below the slider.
    constexpr char kParts[] = "<[#]>_";
    constexpr QStyle::SubControl kPartControls[]
        = { QStyle::SC_ScrollBarSubLine, QStyle::SC_ScrollBarSubPage, QStyle::SC_ScrollBarSlider,
              QStyle::SC_ScrollBarAddPage, QStyle::SC_ScrollBarAddLine };

    // Plays steps on the window and keeps the model beside it. A step is a word:
    //   L+2>  the left button (L, M, R) down on CH2's part (see kParts)
    //   L-    the left button up            L!  up, and the window never hears of it
    //   ~2]   the pointer to CH2's part     t   the repeat's clock ticks
    //   w+ w- a wheel notch down or up, where the pointer is
    //   k2+ k2-  Right or Left on CH2       min60  "min" set to 60, by a screen reader's tool
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
        // that it takes a key and a click. False, with `why`, at the first surprise.
        bool play(const std::vector<std::string>& steps)
        {
            reset();
            for (const std::string& step : steps)
                if (!play(step))
                    return false;
            std::vector<std::string> closing = { "back" };
            for (int b = 0; b < 3; ++b)
                if (m_buttons & kButtons[b])
                    closing.push_back(std::string(1, kButtonNames[b]) + "-");
            // Every slider takes a key and a click, away from its bound, and then stands still.
            for (int c = 0; c < kChannelCount; ++c) {
                const bool down = m_values[c] > m_min;
                const std::string slider = std::to_string(c + 1);
                for (const std::string& step : { "k" + slider + (down ? "-" : "+"),
                         "L+" + slider + (down ? "<" : ">"), std::string("L-") })
                    closing.push_back(step);
            }
            closing.push_back("t");
            for (const std::string& step : closing)
                if (!play(step, true))
                    return false;
            return true;
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

        bool play(const std::string& step, bool closing = false)
        {
            const size_t before = m_seen.size();
            m_expected.clear();
            m_thumbAstray.clear();
            const int channel = step.size() > 1 ? step[1] - '1' : 0;
            if (step == "t")
                tick();
            else if (step == "back")
                back();
            else if (step.rfind("min", 0) == 0 && step != "minimise")
                setMin(std::stoi(step.substr(3)));
            else if (step[0] == 'w')
                wheel(step[1] == '+' ? 1 : -1);
            else if (step[0] == 'k')
                key(step[1] - '1', step[2] == '+' ? 1 : -1);
            else if (step[0] == '~')
                moveTo(pointAt(channel, step[2]));
            else if (std::isupper(step[0]))
                button(kButtons[std::string(kButtonNames).find(step[0])], step);
            else
                away(step);
            const Commits seen(m_seen.begin() + long(before), m_seen.end());
            if (seen == m_expected && m_thumbAstray.empty())
                return true;
            why = (closing ? "closing with " : "at ") + step + ": expected " + Show(m_expected)
                + ", got " + Show(seen) + m_thumbAstray;
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
            if (value == m_values[channel])
                return;
            m_values[channel] = value;
            m_expected.emplace_back(channel, value);
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
            for (int c = 0; c < kChannelCount; ++c)
                if (m_form.childAt(at) == m_bars[c])
                    return c;
            return -1;
        }
        QPoint pointAt(int channel, char part) const
        {
            QScrollBar* bar = m_bars[channel];
            const size_t index = std::string(kParts).find(part);
            const QPoint at = part == '_' ? QPoint(bar->width() / 2, bar->height() + 5)
                                          : ScrollBarPart(bar, kPartControls[index]).center();
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
            if (dragging) {
                QScrollBar* bar = m_bars[m_gesture->slider];
                const QRect groove = ScrollBarPart(bar, QStyle::SC_ScrollBarGroove);
                const int left = inBar(m_gesture->slider, to).x() - m_gesture->grip;
                m_gesture->position = QStyle::sliderValueFromPosition(m_min, 255, left - groove.x(),
                    groove.width() - ScrollBarPart(bar, QStyle::SC_ScrollBarSlider).width());
            }
            send(QEvent::MouseMove);
            if (dragging && m_bars[m_gesture->slider]->sliderPosition() != m_gesture->position)
                m_thumbAstray = ", the thumb at "
                    + std::to_string(m_bars[m_gesture->slider]->sliderPosition())
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
            for (QEvent::Type type : { QEvent::KeyPress, QEvent::KeyRelease }) {
                QKeyEvent key(type, step > 0 ? Qt::Key_Right : Qt::Key_Left, Qt::NoModifier);
                QApplication::sendEvent(m_bars[channel], &key);
            }
        }

        void setMin(int bound)
        {
            if (bound == m_min)
                return;
            end();
            m_min = bound;
            for (int c = 0; c < kChannelCount; ++c)
                expect(c, m_values[c]);
            m_form.findChild<QLineEdit*>("Text1")->setText(QString::number(bound));
        }

        void away(const std::string& how)
        {
            if (how == "minimise" || how == "hide") {
                if (!m_shown)
                    return;
                end();
                m_shown = false;
                m_grab.reset(); // Qt forgets where the buttons went down
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
        std::string m_thumbAstray;
        std::array<int, kChannelCount> m_values {};
        int m_min = 1;
        std::array<bool, kChannelCount> m_enabled {};
        bool m_windowEnabled = true;
        bool m_shown = true;
        Qt::MouseButtons m_buttons;
        std::optional<int> m_grab; // the slider that takes the presses (-1: none), or the one
                                   // under the pointer
        QPoint m_pointer;
        std::optional<Gesture> m_gesture;
        int m_time = 0;
    };

    std::vector<std::string> Generate(std::mt19937& random)
    {
        const auto pick = [&](int high) { return std::uniform_int_distribution(0, high)(random); };
        const std::string home = std::to_string(pick(3) + 1);
        std::string down;
        std::vector<std::string> steps;
        for (int n = pick(kLongest - 1) + 1; n > 0; --n) {
            // Mostly one slider, now and then another.
            const std::string slider = pick(3) ? home : std::to_string(pick(3) + 1);
            const std::string part(1, kParts[pick(5)]);
            const int roll = pick(99);
            const char b = kButtonNames[pick(2)];
            const char up = down.empty() ? 0 : down[size_t(pick(int(down.size()) - 1))];
            std::string step;
            if (roll < 25 && down.find(b) == std::string::npos) {
                step = b + ("+" + slider + part);
                down += b;
            } else if (roll < 45 && up) {
                step = up + std::string(roll < 42 ? "-" : "!");
                down.erase(down.find(up), 1);
            } else if (roll < 57) {
                step = "~" + slider + part;
            } else if (roll < 72) {
                step = "t";
            } else if (roll < 76) {
                step = pick(1) ? "w+" : "w-";
            } else if (roll < 81) {
                step = "k" + slider + (pick(1) ? "+" : "-");
            } else if (roll < 84) {
                static const char* kBounds[] = { "min0", "min1", "min60" };
                step = kBounds[pick(2)];
            } else if (roll < 93) {
                static const char* kAways[] = { "minimise", "hide", "other", "offw" };
                step = pick(4) ? kAways[pick(3)] : "off" + slider;
            } else {
                step = "back";
            }
            steps.push_back(step);
        }
        return steps;
    }

    std::string Join(const std::vector<std::string>& steps)
    {
        std::string line;
        for (const std::string& step : steps)
            line += (line.empty() ? "" : " ") + step;
        return line;
    }

    // Drops one step at a time while the sequence still fails.
    std::vector<std::string> Shrink(Hand& hand, std::vector<std::string> steps)
    {
        for (size_t at = 0; at < steps.size();) {
            std::vector<std::string> fewer = steps;
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

        std::vector<std::vector<std::string>> sequences;
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
                const std::vector<std::string> shrunk = Shrink(hand, sequences[n]);
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
