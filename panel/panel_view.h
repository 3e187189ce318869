#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace servo {

constexpr int kChannelCount = 4;

// Colour values as 0x00BBGGRR; with the high bit set the low byte names a system colour.
using ColourValue = uint32_t;
constexpr ColourValue kSystemColour = 0x80000000;
constexpr ColourValue kHighlightColour = 0x0000FFFF; // yellow
constexpr ColourValue kButtonFaceColour = kSystemColour | 15;

// A slider's thumb that the hand holds, and where it is dragged to: the value its release
// would commit.
struct HeldThumb {
    int channel;
    int16_t position;
};

// What the panel sees of the window. Channels are indexed 0..3. Setting a slider's
// value or bound, or the entry's text, raises that control's change event at once,
// inside the call, as the toolkit does.
class PanelView {
public:
    virtual ~PanelView() = default;

    virtual int16_t sliderValue(int channel) const = 0;
    virtual void setSliderValue(int channel, int16_t value) = 0;
    virtual void setSliderMinimum(int channel, int16_t minimum) = 0;
    virtual void setReadout(int channel, const std::string& text) = 0;

    // Ends what the hand holds as its release would: a held thumb's change event runs inside
    // the call.
    virtual void endHold() = 0;
    // Only reads: safe while the process exits, when nothing of the window may be touched.
    virtual std::optional<HeldThumb> heldThumb() const = 0;

    virtual std::string lowerBoundText() const = 0;
    virtual void setLowerBoundText(const std::string& text) = 0;

    virtual void setLabelColour(int channel, ColourValue colour) = 0;
    // Whether the channel's test runs, for what the window tells beyond colour.
    virtual void setTestRunning(int channel, bool running) = 0;

    // Shows why the program is ending: on standard error always, and in a box when
    // `onScreen`, whose answer the view forwards as Panel::reportAnswered.
    virtual void report(const std::string& message, bool onScreen) = 0;

    // Ends the program with this status.
    virtual void quit(int status) = 0;
};

} // namespace servo
