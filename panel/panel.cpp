#include "panel.h"

#include "frame_link.h"
#include "lower_bound.h"
#include "servo_frame.h"

namespace servo {

char ChannelCode(int channel) { return static_cast<char>('0' + channel); }

Panel::Panel(PanelView& view, FrameLink& link) : m_view(view), m_link(link) {}

bool Panel::start()
{
    if (!m_link.open())
        return false;
    // Each step below raises change events that send frames, so the port comes first.
    m_view.setLowerBoundText(std::to_string(1));
    for (int channel = 0; channel < kChannelCount; ++channel)
        m_view.setSliderValue(channel, kStartValue);
    m_state = Module1{};
    return true;
}

void Panel::sliderChanged(int channel)
{
    const int16_t value = m_view.sliderValue(channel);
    send(ChannelCode(channel), value);
    m_view.setReadout(channel, FormatHex(value));
}

void Panel::lowerBoundTextChanged()
{
    const int16_t minimum = LowerBoundFromText(m_view.lowerBoundText());
    for (int channel = 0; channel < kChannelCount; ++channel)
        m_view.setSliderMinimum(channel, minimum);
}

void Panel::exitClicked()
{
    if (m_link.close())
        m_view.quit();
}

void Panel::testClicked(int channel)
{
    const std::string code(1, ChannelCode(channel));
    const bool starting = m_state.SelectedChannel != code;
    m_state.SelectedChannel = starting ? code : std::string();
    for (int label = 0; label < kChannelCount; ++label) {
        const bool lit = starting && label == channel;
        m_view.setLabelColour(label, lit ? kHighlightColour : kButtonFaceColour);
        m_view.setTestRunning(label, lit);
    }
}

void Panel::tick()
{
    if (m_state.SelectedChannel.empty())
        return;
    const bool sendLow = m_state.TogglePhase == 1;
    m_state.TogglePhase = sendLow ? 2 : 1;
    send(m_state.SelectedChannel.front(), sendLow ? kTestLow : kTestHigh);
}

void Panel::send(char code, int16_t value) { m_link.write(FormatServoFrame(code, value)); }

} // namespace servo
