#include "frame_link.h"
#include "hex.h"
#include "panel.h"
#include "panel_view.h"
#include "servo_frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace servo {
namespace {

    // What happened, in order, across the view and the link.
    using Journal = std::vector<std::string>;

    using test::Hex;

    class LinkDouble : public FrameLink {
    public:
        explicit LinkDouble(Journal& journal)
            : m_journal(journal)
        {
        }

        bool open() override
        {
            ++opens;
            m_journal.push_back("open");
            m_open = opens_succeed;
            return m_open;
        }
        bool write(std::string_view frame) override
        {
            if (!m_open)
                ++writesWhileClosed;
            frames.emplace_back(frame);
            m_journal.push_back("frame " + Hex(frames.back()));
            return m_open;
        }
        bool close() override
        {
            ++closes;
            m_journal.push_back("close");
            m_open = false;
            // As the real link does: the failure is reported before close() returns.
            if (!closes_succeed && failed)
                failed("undelivered");
            return closes_succeed;
        }

        std::function<void(const std::string&)> failed;

        bool opens_succeed = true;
        bool closes_succeed = true;
        int opens = 0;
        int closes = 0;
        int writesWhileClosed = 0;
        std::vector<std::string> frames;

    private:
        Journal& m_journal;
        bool m_open = false;
    };

    // Behaves as the Qt controls do: a slider clamps to its bounds and raises its change only
    // when the value really changes, a higher minimum drags the value along, and setting the
    // entry's text raises its change, all at once inside the call.
    class ViewDouble : public PanelView {
    public:
        struct Slider {
            int16_t minimum = 1;
            int16_t maximum = 255;
            int16_t value = 1;
        };

        explicit ViewDouble(Journal& journal)
            : m_journal(journal)
        {
            labels.fill(kButtonFaceColour);
        }

        void attach(Panel& panel) { m_panel = &panel; }

        int16_t sliderValue(int channel) const override { return sliders.at(channel).value; }
        void setSliderValue(int channel, int16_t value) override
        {
            ++calls;
            Slider& s = sliders.at(channel);
            const int16_t clamped = std::clamp(value, s.minimum, s.maximum);
            if (clamped == s.value)
                return;
            s.value = clamped;
            m_panel->sliderChanged(channel);
        }
        void setSliderMinimum(int channel, int16_t minimum) override
        {
            ++calls;
            Slider& s = sliders.at(channel);
            s.minimum = minimum;
            s.maximum = std::max(s.maximum, minimum);
            setSliderValue(channel, s.value);
        }
        void setReadout(int channel, const std::string& text) override
        {
            ++calls;
            readouts.at(channel) = text;
            m_journal.push_back("readout " + std::to_string(channel) + " " + text);
        }
        void endHold() override
        {
            if (const auto thumb = std::exchange(held, std::nullopt))
                setSliderValue(thumb->channel, thumb->position);
        }
        std::optional<HeldThumb> heldThumb() const override { return held; }
        std::string lowerBoundText() const override { return entry; }
        void setLowerBoundText(const std::string& text) override
        {
            ++calls;
            if (text == entry)
                return;
            entry = text;
            m_panel->lowerBoundTextChanged();
        }
        void setLabelColour(int channel, ColourValue colour) override
        {
            ++calls;
            labels.at(channel) = colour;
            labelCalls.emplace_back(channel, colour);
        }
        void setTestRunning(int channel, bool running) override
        {
            ++calls;
            testRunning.at(channel) = running;
        }
        void report(const std::string& message, bool onScreen) override
        {
            m_journal.push_back((onScreen ? "box " : "stderr ") + message);
        }
        void quit(int status) override
        {
            ++quits;
            m_journal.push_back("quit " + std::to_string(status));
        }

        // The operator's side.
        void type(const std::string& text)
        {
            entry = text;
            m_panel->lowerBoundTextChanged();
        }
        void arrowRight(int channel) { setSliderValue(channel, sliders.at(channel).value + 1); }
        void arrowLeft(int channel) { setSliderValue(channel, sliders.at(channel).value - 1); }

        std::array<Slider, kChannelCount> sliders {};
        std::array<std::string, kChannelCount> readouts {};
        std::array<ColourValue, kChannelCount> labels {};
        std::vector<std::pair<int, ColourValue>> labelCalls;
        std::array<bool, kChannelCount> testRunning {};
        std::string entry;
        std::optional<HeldThumb> held; // a thumb the hand drags, not yet committed
        int calls = 0;
        int quits = 0;

    private:
        Journal& m_journal;
        Panel* m_panel = nullptr;
    };

    std::string Frame(char code, int16_t value)
    {
        return FormatServoFrame(code, value);
    }

    std::vector<std::string> Frames(char code, std::initializer_list<int16_t> values)
    {
        std::vector<std::string> out;
        for (int16_t v : values)
            out.push_back(Frame(code, v));
        return out;
    }

    std::vector<std::string> HexAll(const std::vector<std::string>& frames)
    {
        std::vector<std::string> out;
        for (const std::string& f : frames)
            out.push_back(Hex(f));
        return out;
    }

    // A panel wired to its two doubles, which share one journal. Take it apart with
    // `auto& [journal, link, view, panel] = rig;`.
    struct Rig {
        Rig() { view.attach(panel); }
        Journal journal;
        LinkDouble link { journal };
        ViewDouble view { journal };
        Panel panel { view, link };
    };

    class PanelTest : public testing::Test, protected Rig {
    protected:
        // Starts the panel and forgets what start-up sent, for tests about what follows.
        void startQuietly()
        {
            ASSERT_TRUE(panel.start());
            link.frames.clear();
            journal.clear();
            view.labelCalls.clear();
        }

        std::array<int16_t, kChannelCount> minima() const
        {
            std::array<int16_t, kChannelCount> out {};
            for (int c = 0; c < kChannelCount; ++c)
                out[c] = view.sliders[c].minimum;
            return out;
        }
        std::array<int16_t, kChannelCount> values() const
        {
            std::array<int16_t, kChannelCount> out {};
            for (int c = 0; c < kChannelCount; ++c)
                out[c] = view.sliders[c].value;
            return out;
        }
    };

    using Four = std::array<int16_t, kChannelCount>;

    TEST_F(PanelTest, StartUpOpensThenSendsFiftyOnEveryChannelInOrder)
    {
        ASSERT_TRUE(panel.start());
        EXPECT_EQ(link.opens, 1);
        EXPECT_EQ(link.writesWhileClosed, 0);
        const std::vector<std::string> expected = {
            "open",
            "frame 02 30 33 32",
            "readout 0 32",
            "frame 02 31 33 32",
            "readout 1 32",
            "frame 02 32 33 32",
            "readout 2 32",
            "frame 02 33 33 32",
            "readout 3 32",
        };
        EXPECT_EQ(journal, expected) << "each frame goes out before its readout changes";
        EXPECT_EQ(view.entry, "1");
        EXPECT_EQ(minima(), (Four { 1, 1, 1, 1 }));
        EXPECT_EQ(values(), (Four { 50, 50, 50, 50 }));
        EXPECT_EQ(panel.state().SelectedChannel, "");
        EXPECT_EQ(panel.state().TogglePhase, 0);
        EXPECT_TRUE(view.labelCalls.empty());
    }

    // An ending asked for while start-up runs is taken at its next check (before the port
    // opens, after it, before each frame): what was sent stays sent, nothing follows it, the
    // port is closed, and the program ends 0.
    TEST(PanelStartUp, EndingAskedMidwayStopsItThere)
    {
        const std::string check = "check";
        const struct Row {
            int endAtCheck; // 0: before the port opens
            std::vector<std::string> journal; // from the start, as ended
        } rows[] = {
            { 0, { check, "quit 0" } },
            { 1, { check, "open", check, "close", "quit 0" } },
            { 2, { check, "open", check, check, "close", "quit 0" } },
            { 3,
                { check, "open", check, check, "frame 02 30 33 32", "readout 0 32", check, "close",
                    "quit 0" } },
            { 5,
                { check, "open", check, check, "frame 02 30 33 32", "readout 0 32", check,
                    "frame 02 31 33 32", "readout 1 32", check, "frame 02 32 33 32", "readout 2 32",
                    check, "close", "quit 0" } },
        };
        for (const Row& row : rows) {
            SCOPED_TRACE(row.endAtCheck);
            Rig rig;
            auto& [journal, link, view, panel] = rig;
            int checks = 0;
            const auto deliverEndings = [&] {
                journal.push_back(check);
                if (checks++ == row.endAtCheck)
                    panel.end(EndRequest::Outside);
            };
            EXPECT_FALSE(panel.start(deliverEndings));
            EXPECT_EQ(journal, row.journal);
            EXPECT_EQ(panel.exitStatus(), std::optional(Panel::kSuccess));
            EXPECT_EQ(link.writesWhileClosed, 0);
            // Nothing ends twice, and nothing more is sent.
            journal.clear();
            panel.tick();
            EXPECT_FALSE(panel.start(deliverEndings));
            EXPECT_EQ(view.quits, 1);
            EXPECT_EQ(journal, Journal {});
        }
        // Nobody asked: start-up completes, its four frames on the line.
        Rig rig;
        auto& [journal, link, view, panel] = rig;
        EXPECT_TRUE(panel.start([] {}));
        EXPECT_EQ(HexAll(link.frames),
            HexAll({ Frame('0', 50), Frame('1', 50), Frame('2', 50), Frame('3', 50) }));
        EXPECT_FALSE(panel.exitStatus());
    }

    TEST_F(PanelTest, FailedOpenSendsNothingAndTouchesNothing)
    {
        link.opens_succeed = false;
        EXPECT_FALSE(panel.start());
        EXPECT_TRUE(link.frames.empty());
        EXPECT_EQ(view.calls, 0);
        EXPECT_EQ(view.entry, "");
        EXPECT_EQ(values(), (Four { 1, 1, 1, 1 }));
        EXPECT_EQ(view.readouts, (std::array<std::string, kChannelCount> {}));
    }

    TEST_F(PanelTest, ArrowStepsSendOneFramePerStep)
    {
        startQuietly();
        view.arrowRight(1);
        view.arrowRight(1);
        EXPECT_EQ(HexAll(link.frames), HexAll(Frames('1', { 51, 52 })));
        EXPECT_EQ(view.readouts[1], "34");
        view.arrowLeft(1);
        EXPECT_EQ(link.frames.back(), Frame('1', 51));
        EXPECT_EQ(view.readouts[1], "33");
    }

    TEST_F(PanelTest, SameValueSentAgainIsSentAgain)
    {
        startQuietly();
        view.arrowRight(3);
        view.arrowLeft(3);
        view.arrowRight(3);
        EXPECT_EQ(HexAll(link.frames), HexAll(Frames('3', { 51, 50, 51 })));
    }

    TEST_F(PanelTest, TypingOneTwentyKeyByKeyRaisesTheBoundsStepByStep)
    {
        startQuietly();
        const std::pair<const char*, int16_t> keys[]
            = { { "", 0 }, { "1", 1 }, { "12", 12 }, { "120", 120 } };
        for (const auto& [text, bound] : keys) {
            view.type(text);
            EXPECT_EQ(minima(), (Four { bound, bound, bound, bound })) << '"' << text << '"';
            if (bound < 50) {
                EXPECT_TRUE(link.frames.empty()) << "a bound below the values moves nothing";
            }
        }
        // Passing the sliders at 50 drags each up, and each move is a change like any other.
        std::vector<std::string> expected;
        for (char code : { '0', '1', '2', '3' })
            expected.push_back(Frame(code, 120));
        EXPECT_EQ(HexAll(link.frames), HexAll(expected));
        EXPECT_EQ(values(), (Four { 120, 120, 120, 120 }));
        EXPECT_EQ(
            view.readouts, (std::array<std::string, kChannelCount> { "78", "78", "78", "78" }));
    }

    struct BoundCase {
        const char* name;
        Four before;
        std::string text;
        int16_t bound;
        Four after;
        std::vector<std::string> frames;
    };

    void PrintTo(const BoundCase& c, std::ostream* os)
    {
        *os << c.name;
    }

    class BoundTable : public PanelTest, public testing::WithParamInterface<BoundCase> { };

    TEST_P(BoundTable, SetsEveryBoundAndDragsLowerSlidersUp)
    {
        const BoundCase& c = GetParam();
        ASSERT_TRUE(panel.start());
        for (int ch = 0; ch < kChannelCount; ++ch)
            view.setSliderValue(ch, c.before[ch]);
        link.frames.clear();

        view.type(c.text);
        EXPECT_EQ(minima(), (Four { c.bound, c.bound, c.bound, c.bound }));
        EXPECT_EQ(values(), c.after);
        EXPECT_EQ(HexAll(link.frames), HexAll(c.frames));
        for (int ch = 0; ch < kChannelCount; ++ch)
            EXPECT_EQ(view.readouts[ch], FormatHex(c.after[ch])) << ch;

        // Every slider reaches the new bound (0, a negative value, 255) and sends it, once.
        link.frames.clear();
        std::vector<std::string> down;
        for (int ch = 0; ch < kChannelCount; ++ch) {
            if (c.after[ch] != c.bound)
                down.push_back(Frame(ChannelCode(ch), c.bound));
            view.setSliderValue(ch, c.bound);
            EXPECT_EQ(view.readouts[ch], FormatHex(c.bound)) << ch;
        }
        EXPECT_EQ(HexAll(link.frames), HexAll(down));
    }

    INSTANTIATE_TEST_SUITE_P(Entry, BoundTable,
        testing::Values(
            BoundCase { "below_all", { 50, 50, 50, 50 }, "20", 20, { 50, 50, 50, 50 }, {} },
            BoundCase { "emptied", { 50, 50, 50, 50 }, "", 0, { 50, 50, 50, 50 }, {} },
            BoundCase { "negative", { 50, 50, 50, 50 }, "-20", -20, { 50, 50, 50, 50 }, {} },
            BoundCase { "equal_to_value", { 50, 60, 50, 60 }, "50", 50, { 50, 60, 50, 60 }, {} },
            BoundCase { "above_some", { 200, 50, 99, 100 }, "100abc", 100, { 200, 100, 100, 100 },
                { Frame('1', 100), Frame('2', 100) } },
            BoundCase { "three_hundred", { 50, 255, 1, 254 }, "300", 255, { 255, 255, 255, 255 },
                { Frame('0', 255), Frame('2', 255), Frame('3', 255) } },
            BoundCase { "huge", { 50, 50, 50, 50 }, std::string(500, '7'), 255,
                { 255, 255, 255, 255 },
                { Frame('0', 255), Frame('1', 255), Frame('2', 255), Frame('3', 255) } }),
        [](const auto& info) { return std::string(info.param.name); });

    TEST_F(PanelTest, ExitClosesTheLinkThenQuits)
    {
        startQuietly();
        panel.exitClicked();
        EXPECT_EQ(journal, (Journal { "close", "quit 0" }));
    }

    TEST_F(PanelTest, ExitDoesNotQuitWhenCloseFails)
    {
        startQuietly();
        link.closes_succeed = false;
        panel.exitClicked();
        EXPECT_EQ(link.closes, 1);
        EXPECT_EQ(view.quits, 0) << "the link's failure report ends the program instead";
    }

    // Every way of ending, from every state: what is closed, what is reported where, and the
    // status the program ends with.
    TEST_F(PanelTest, EndingsFromEveryState)
    {
        enum class Before { NotStarted, Started, FailureOnScreen, Holding };
        const Journal kReleased = { "frame 02 30 37 37", "readout 0 77", "close", "quit 0" };
        const struct Row {
            const char* name;
            Before before;
            EndRequest request;
            bool closeSucceeds;
            Journal journal;
            bool endsNow;
            std::optional<int> status; // before any report is answered
        } rows[] = {
            { "exit", Before::Started, EndRequest::ExitButton, true, { "close", "quit 0" }, true,
                0 },
            { "title bar", Before::Started, EndRequest::WindowClose, true, { "close", "quit 0" },
                true, 0 },
            { "outside", Before::Started, EndRequest::Outside, true, { "close", "quit 0" }, true,
                0 },
            { "exit, frames undelivered", Before::Started, EndRequest::ExitButton, false,
                { "close", "box undelivered" }, false, {} },
            { "title bar, frames undelivered", Before::Started, EndRequest::WindowClose, false,
                { "close", "box undelivered" }, false, {} },
            { "outside, frames undelivered", Before::Started, EndRequest::Outside, false,
                { "close", "stderr undelivered", "quit 1" }, true, 1 },
            { "outside before the port opened", Before::NotStarted, EndRequest::Outside, true,
                { "quit 0" }, true, 0 },
            { "outside while a failure is on screen", Before::FailureOnScreen, EndRequest::Outside,
                true, { "quit 1" }, true, 1 },
            { "title bar while a failure is on screen", Before::FailureOnScreen,
                EndRequest::WindowClose, true, {}, false, {} },
            // A thumb held at 0x77: its value goes out once, as its release would send it.
            { "exit during a hold", Before::Holding, EndRequest::ExitButton, true, kReleased, true,
                0 },
            { "title bar during a hold", Before::Holding, EndRequest::WindowClose, true, kReleased,
                true, 0 },
            { "outside during a hold", Before::Holding, EndRequest::Outside, true, kReleased, true,
                0 },
            // Inside exit(), once the display went away: nothing of the window is touched.
            { "exiting during a hold", Before::Holding, EndRequest::ProcessExiting, true,
                { "frame 02 30 37 37", "close" }, true, 0 },
            { "exiting, frames undelivered", Before::Started, EndRequest::ProcessExiting, false,
                { "close", "stderr undelivered" }, true, 1 },
            { "exiting while a failure is on screen", Before::FailureOnScreen,
                EndRequest::ProcessExiting, true, {}, true, 1 },
        };
        for (const Row& row : rows) {
            SCOPED_TRACE(row.name);
            Rig rig;
            auto& [journal, link, view, panel] = rig;
            link.failed = [&panel](const std::string& message) { panel.linkFailed(message); };
            link.closes_succeed = row.closeSucceeds;
            if (row.before != Before::NotStarted) {
                ASSERT_TRUE(panel.start());
            }
            if (row.before == Before::FailureOnScreen)
                panel.linkFailed("lost");
            if (row.before == Before::Holding)
                view.held = HeldThumb { 0, 0x77 };
            journal.clear();

            EXPECT_EQ(panel.end(row.request), row.endsNow);
            EXPECT_EQ(journal, row.journal);
            EXPECT_EQ(panel.exitStatus(), row.status);

            // Whatever happens next ends nothing twice and sends nothing more.
            const size_t frames = link.frames.size();
            panel.end(EndRequest::Outside);
            panel.reportAnswered();
            panel.tick();
            EXPECT_EQ(panel.start(), false);
            EXPECT_EQ(view.quits, row.request == EndRequest::ProcessExiting ? 0 : 1);
            EXPECT_EQ(panel.exitStatus(), row.status.value_or(Panel::kFailure));
            EXPECT_EQ(link.frames.size(), frames);
            EXPECT_LE(link.closes, 1);
            if (row.before == Before::NotStarted) {
                EXPECT_EQ(link.opens, 0) << "asked to end before the port opened: nothing opens";
            }
        }
    }

    // Test mode.

    const std::string kHigh0 = Frame('0', 255);
    const std::string kLow0 = Frame('0', 96);

    TEST_F(PanelTest, FirstTicksSendHighThenLowThenHigh)
    {
        startQuietly();
        panel.testClicked(1);
        panel.tick();
        panel.tick();
        panel.tick();
        EXPECT_EQ(HexAll(link.frames), HexAll(Frames('1', { 255, 96, 255 })));
        EXPECT_EQ(Hex(link.frames[0]), "02 31 46 46");
        EXPECT_EQ(Hex(link.frames[1]), "02 31 36 30");
        EXPECT_EQ(values()[1], 50) << "the slider keeps its value";
        EXPECT_EQ(view.readouts[1], "32");
    }

    TEST_F(PanelTest, TicksWithNothingSelectedSendNothing)
    {
        startQuietly();
        for (int i = 0; i < 5; ++i)
            panel.tick();
        EXPECT_TRUE(link.frames.empty());
        EXPECT_EQ(panel.state().TogglePhase, 0);

        panel.testClicked(0);
        panel.tick();
        panel.testClicked(0);
        for (int i = 0; i < 5; ++i)
            panel.tick();
        EXPECT_EQ(HexAll(link.frames), HexAll({ kHigh0 }));
    }

    struct ClickCase {
        const char* name;
        std::vector<int> clicks;
        std::string selected;
        std::array<ColourValue, kChannelCount> lastColours;
    };

    void PrintTo(const ClickCase& c, std::ostream* os)
    {
        *os << c.name;
    }

    class ClickTable : public PanelTest, public testing::WithParamInterface<ClickCase> { };

    TEST_P(ClickTable, SetsAllFourLabelsInOrderAndSendsNothing)
    {
        const ClickCase& c = GetParam();
        startQuietly();
        for (int channel : c.clicks)
            panel.testClicked(channel);

        EXPECT_TRUE(link.frames.empty());
        EXPECT_EQ(panel.state().SelectedChannel, c.selected);
        EXPECT_EQ(panel.state().TogglePhase, 0);
        ASSERT_EQ(view.labelCalls.size(), 4 * c.clicks.size());
        for (size_t i = 0; i < view.labelCalls.size(); ++i)
            EXPECT_EQ(view.labelCalls[i].first, static_cast<int>(i % 4))
                << "label order, call " << i;
        for (int label = 0; label < kChannelCount; ++label) {
            EXPECT_EQ(
                view.labelCalls[view.labelCalls.size() - 4 + label].second, c.lastColours[label])
                << "label " << label;
            // The window is told of the test as well as shown it in colour.
            EXPECT_EQ(view.testRunning[label], c.lastColours[label] == kHighlightColour)
                << "label " << label;
        }
        EXPECT_EQ(values(), (Four { 50, 50, 50, 50 }));

        for (int i = 0; i < 2; ++i)
            panel.tick();
        if (c.selected.empty()) {
            EXPECT_TRUE(link.frames.empty());
        } else {
            EXPECT_EQ(HexAll(link.frames), HexAll(Frames(c.selected[0], { 255, 96 })));
        }
    }

    // Yellow as 0x00BBGGRR, and system colour 15, the button face.
    constexpr ColourValue H = 0x0000FFFF;
    constexpr ColourValue N = 0x8000000F;

    INSTANTIATE_TEST_SUITE_P(TestButtons, ClickTable,
        testing::Values(ClickCase { "ch1", { 0 }, "0", { H, N, N, N } },
            ClickCase { "ch2", { 1 }, "1", { N, H, N, N } },
            ClickCase { "ch3", { 2 }, "2", { N, N, H, N } },
            ClickCase { "ch4", { 3 }, "3", { N, N, N, H } },
            ClickCase { "ch1_again", { 0, 0 }, "", { N, N, N, N } },
            ClickCase { "ch4_then_ch1", { 3, 0 }, "0", { H, N, N, N } },
            ClickCase { "ch2_ch3_ch3", { 1, 2, 2 }, "", { N, N, N, N } },
            ClickCase { "ch2_ch3_ch2", { 1, 2, 1 }, "1", { N, H, N, N } }),
        [](const auto& info) { return std::string(info.param.name); });

    TEST_F(PanelTest, PhaseSurvivesStoppingAndIsSharedByAllChannels)
    {
        startQuietly();
        panel.testClicked(0);
        panel.tick(); // 255 on channel 1
        panel.testClicked(0);
        panel.tick();
        panel.tick();
        panel.testClicked(3);
        panel.tick();
        panel.tick();
        EXPECT_EQ(HexAll(link.frames), HexAll({ kHigh0, Frame('3', 96), Frame('3', 255) }));
    }

    TEST_F(PanelTest, MovingTheTestCarriesThePhaseOn)
    {
        startQuietly();
        panel.testClicked(0);
        panel.tick();
        panel.tick();
        panel.tick(); // 255, 96, 255 on channel 1
        panel.testClicked(2);
        panel.tick();
        panel.tick();
        EXPECT_EQ(HexAll(link.frames),
            HexAll({ kHigh0, kLow0, kHigh0, Frame('2', 96), Frame('2', 255) }));
        EXPECT_EQ(view.labels, (std::array<ColourValue, kChannelCount> { N, N, H, N }));
    }

    TEST_F(PanelTest, SliderFramesInterleaveWithTestFrames)
    {
        startQuietly();
        panel.testClicked(0);
        panel.tick();
        view.arrowRight(0);
        panel.tick();
        view.arrowRight(0);
        view.arrowRight(0);
        panel.tick();
        EXPECT_EQ(HexAll(link.frames),
            HexAll({ kHigh0, Frame('0', 51), kLow0, Frame('0', 52), Frame('0', 53), kHigh0 }));
        EXPECT_EQ(values()[0], 53);
        EXPECT_EQ(view.readouts[0], "35");
    }

} // namespace
} // namespace servo
