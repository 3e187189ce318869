#pragma once

#include "panel_view.h"

#include <cstdint>
#include <string>

namespace servo {

class FrameLink;

// Program-wide test state.
struct Module1
{
    std::string SelectedChannel; // empty, or the code of the channel under test
    int16_t TogglePhase = 0;     // 0 nothing sent yet, 1 sent 255 last, 2 sent 96 last
};

char ChannelCode(int channel);

// The panel's behaviour, one handler per event. The window calls these and nothing else.
class Panel
{
public:
    static constexpr int16_t kStartValue = 50;
    static constexpr int16_t kTestHigh = 255;
    static constexpr int16_t kTestLow = 96;

    Panel(PanelView& view, FrameLink& link);

    // False when the port did not open; the link has reported why.
    bool start();

    void sliderChanged(int channel);
    void lowerBoundTextChanged();
    void exitClicked();
    void testClicked(int channel);
    void tick();

    const Module1& state() const { return m_state; }

private:
    void send(char code, int16_t value);

    PanelView& m_view;
    FrameLink& m_link;
    Module1 m_state;
};

} // namespace servo
