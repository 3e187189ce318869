// An operator at random: thousands of strings typed into "min", clicks on the arrows and
// in the track, keys on focused sliders, typing in the readouts (drags and holds: the hand
// model). Seeded, so a failure can be replayed.
#include "form1.h"
#include "lower_bound.h"
#include "oracles.h"
#include "pty.h"
#include "scroll_bar_part.h"
#include "servo_frame.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>

#include <gtest/gtest.h>

#include <random>
#include <set>

namespace servo {
namespace {

    using namespace std::chrono_literals;
    using test::Hex;
    using test::Pty;
    using test::ScrollBarPart;

    constexpr unsigned kSeed = 20261208;
    constexpr int kStrings = 2500;
    constexpr int kWidgetActions = 2500;

    class Operator {
    public:
        explicit Operator(Form1& form)
            : m_form(form)
        {
            m_entry = form.findChild<QLineEdit*>(QStringLiteral("Text1"));
            for (int c = 0; c < kChannelCount; ++c) {
                m_sliders[c] = form.findChild<QScrollBar*>(QStringLiteral("HScroll%1").arg(c + 1));
                m_readouts[c] = form.findChild<QLineEdit*>(QStringLiteral("Text%1").arg(c + 2));
            }
        }

        std::string randomText()
        {
            static const std::string kPieces[] = { "0", "1", "2", "5", "9", "12", "255", "256", "-",
                "+", ".", "e", "E", " ", "x", "a", "_", "1e400", "-40000", "99999999999999999999" };
            std::string text;
            for (int n = pick(0, 6); n > 0; --n)
                text += kPieces[pick(0, std::size(kPieces) - 1)];
            return text;
        }

        void typeIntoMin()
        {
            if (pick(0, 2) == 0) {
                m_entry->setFocus();
                QTest::keyClick(m_entry, Qt::Key_A, Qt::ControlModifier);
                QTest::keyClick(m_entry, Qt::Key_Backspace);
            } else if (pick(0, 3) == 0) {
                QTest::keyClick(m_entry, Qt::Key_Backspace);
            }
            QTest::keyClicks(m_entry, QString::fromStdString(randomText()));
        }

        void useAWidget()
        {
            QScrollBar* bar = m_sliders[pick(0, kChannelCount - 1)];
            switch (pick(0, 4)) {
            case 0:
                QTest::mouseClick(bar, Qt::LeftButton, {},
                    ScrollBarPart(bar, QStyle::SC_ScrollBarAddLine).center());
                break;
            case 1:
                QTest::mouseClick(bar, Qt::LeftButton, {},
                    ScrollBarPart(bar, QStyle::SC_ScrollBarSubLine).center());
                break;
            case 2: {
                const QRect track = ScrollBarPart(bar, QStyle::SC_ScrollBarGroove);
                QTest::mouseClick(bar, Qt::LeftButton, {},
                    QPoint(pick(track.left(), track.right()), track.center().y()));
                break;
            }
            case 3: {
                static const Qt::Key kKeys[] = { Qt::Key_Left, Qt::Key_Right, Qt::Key_PageUp,
                    Qt::Key_PageDown, Qt::Key_Home, Qt::Key_End };
                bar->setFocus();
                QTest::keyClick(bar, kKeys[pick(0, std::size(kKeys) - 1)]);
                break;
            }
            default: {
                // Typing in a readout has no effect until its slider next changes.
                const int c = pick(0, kChannelCount - 1);
                QTest::keyClicks(m_readouts[c], QString::fromStdString(randomText()));
                typedInReadout[c] = true;
                break;
            }
            }
        }

        // Every slider inside its bounds, the bounds what "min" says, each readout its slider.
        void checkControls(int step)
        {
            const int16_t bound = LowerBoundFromText(m_entry->text().toStdString());
            for (int c = 0; c < kChannelCount; ++c) {
                QScrollBar* bar = m_sliders[c];
                ASSERT_EQ(bar->maximum(), 255) << "step " << step;
                ASSERT_EQ(bar->minimum(), bound)
                    << "step " << step << " min text \"" << m_entry->text().toStdString() << '"';
                ASSERT_GE(bar->value(), bar->minimum()) << "step " << step;
                ASSERT_LE(bar->value(), bar->maximum()) << "step " << step;
                if (!typedInReadout[c]) {
                    ASSERT_EQ(m_readouts[c]->text().toStdString(),
                        FormatHex(static_cast<int16_t>(bar->value())))
                        << "step " << step << " channel " << c + 1;
                }
            }
        }

        template <typename T> T pick(T low, T high)
        {
            return std::uniform_int_distribution<T>(low, high)(m_random);
        }
        int pick(int low, size_t high) { return pick<int>(low, static_cast<int>(high)); }

        std::vector<std::pair<int, int>> committed; // (channel, value) of every value change
        std::array<bool, kChannelCount> typedInReadout {};

    private:
        Form1& m_form;
        std::mt19937 m_random { kSeed };
        QLineEdit* m_entry = nullptr;
        std::array<QScrollBar*, kChannelCount> m_sliders {};
        std::array<QLineEdit*, kChannelCount> m_readouts {};
    };

    TEST(Operator, RandomTypingClicksAndKeysKeepEveryControlAndFrameConsistent)
    {
        Pty pty;
        Form1 form(pty.path());
        ASSERT_TRUE(form.start());
        form.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
        ASSERT_EQ(pty.read(16).size(), 16u);

        Operator op(form);
        std::array<std::set<int>, kChannelCount> held;
        for (int c = 0; c < kChannelCount; ++c) {
            auto* bar = form.findChild<QScrollBar*>(QStringLiteral("HScroll%1").arg(c + 1));
            held[c].insert(bar->value());
            QObject::connect(bar, &QScrollBar::valueChanged, [&, c](int v) {
                op.committed.emplace_back(c, v);
                op.typedInReadout[c] = false;
                held[c].insert(v);
            });
        }

        std::string line;
        QElapsedTimer clock;
        clock.start();
        int strings = 0, actions = 0;
        for (int step = 0;
             (strings < kStrings || actions < kWidgetActions) && clock.elapsed() < 60000; ++step) {
            if ((op.pick(0, 1) == 0 && strings < kStrings) || actions >= kWidgetActions) {
                op.typeIntoMin();
                ++strings;
            } else {
                op.useAWidget();
                ++actions;
            }
            op.checkControls(step);
            if (testing::Test::HasFatalFailure())
                return;
            if (step % 50 == 0)
                line += pty.read(SIZE_MAX / 2, 10ms);
        }
        std::cout << "seed " << kSeed << ": " << strings << " strings, " << actions
                  << " widget actions, " << op.committed.size() << " value changes, in "
                  << clock.elapsed() << " ms\n";
        EXPECT_GE(strings, 1000);

        QElapsedTimer drain;
        drain.start();
        while (form.link().bytesQueued() > 0 && drain.elapsed() < 20000)
            line += pty.read(SIZE_MAX / 2, 20ms);
        line += pty.readAll(200ms);

        // Every frame decodes to a value its slider held ...
        size_t frames = 0;
        for (size_t at = 0; at < line.size();) {
            const size_t next = std::min(line.find('\x02', at + 1), line.size());
            const std::string frame = line.substr(at, next - at);
            char channel = 0;
            const std::vector<int> values = oracle::FrameValues(frame, &channel);
            ASSERT_FALSE(values.empty()) << "not a frame: " << Hex(frame);
            bool known = false;
            for (int v : values)
                known = known || held[channel - '0'].count(v);
            ASSERT_TRUE(known) << Hex(frame) << " is no value CH" << channel - '0' + 1 << " held";
            ++frames;
            at = next;
        }
        // ... and the line carries exactly one frame per committed change, in order.
        std::string expected;
        for (const auto& [channel, value] : op.committed)
            expected += FormatServoFrame(ChannelCode(channel), static_cast<int16_t>(value));
        EXPECT_EQ(frames, op.committed.size());
        EXPECT_TRUE(line == expected)
            << "the line differs from the committed changes (" << line.size() << " bytes, expected "
            << expected.size() << ")";
    }

} // namespace
} // namespace servo
