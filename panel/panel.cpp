#include "panel.h"

#include "frame_link.h"
#include "lower_bound.h"
#include "servo_frame.h"

namespace servo {

char ChannelCode(int channel)
{
    return static_cast<char>('0' + channel);
}

Panel::Panel(PanelView& view, FrameLink& link)
    : m_view(view)
    , m_link(link)
{
}

bool Panel::start(const std::function<void()>& deliverEndings)
{
    // True while nothing has ended start-up.
    const auto goOn = [&](Phase expected) {
        if (deliverEndings)
            deliverEndings();
        return m_phase == expected;
    };
    if (m_phase != Phase::Created || !goOn(Phase::Created) || !m_link.open())
        return false;
    m_phase = Phase::Started;
    // Each step below raises change events that send frames, so the port comes first.
    if (!goOn(Phase::Started))
        return false;
    m_view.setLowerBoundText(std::to_string(1));
    for (int channel = 0; channel < kChannelCount; ++channel) {
        if (!goOn(Phase::Started))
            return false;
        m_view.setSliderValue(channel, kStartValue);
    }
    m_state = Module1 {};
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
    // The hand cannot reach "min" while it holds a thumb, but the text can change all the same
    // (a screen reader's tool): the drag is committed first, then the new bound applies.
    m_view.endHold();
    const int16_t minimum = LowerBoundFromText(m_view.lowerBoundText());
    for (int channel = 0; channel < kChannelCount; ++channel)
        m_view.setSliderMinimum(channel, minimum);
}

void Panel::exitClicked()
{
    end(EndRequest::ExitButton);
}

bool Panel::end(EndRequest request)
{
    if (m_phase != Phase::Ended && request == EndRequest::ProcessExiting)
        m_exiting = true;
    switch (m_phase) {
    case Phase::Created:
        // Asked before the port opened: nothing is opened, nothing moves.
        finish(kSuccess);
        return true;
    case Phase::Started:
        m_reportOnScreen = request != EndRequest::Outside && !m_exiting;
        letGo(request);
        if (m_link.close()) {
            finish(kSuccess);
            return true;
        }
        // The link has reported why, through linkFailed.
        return m_phase == Phase::Ended;
    case Phase::Failed:
        // A report is on screen; from outside, end as answering it would.
        if (request != EndRequest::Outside && !m_exiting)
            return false;
        finish(kFailure);
        return true;
    case Phase::Ended:
        return true;
    }
    return false;
}

void Panel::linkFailed(const std::string& message)
{
    if (m_phase == Phase::Failed || m_phase == Phase::Ended)
        return;
    m_phase = Phase::Failed;
    m_view.report(message, m_reportOnScreen);
    if (!m_reportOnScreen)
        finish(kFailure);
}

void Panel::reportAnswered()
{
    if (m_phase != Phase::Ended)
        finish(kFailure);
}

// Every ending ends a hold as the release would, before the port closes: the dragged value
// goes out once.
void Panel::letGo(EndRequest request)
{
    if (request != EndRequest::ProcessExiting) {
        m_view.endHold();
        return;
    }
    const std::optional<HeldThumb> held = m_view.heldThumb();
    if (held && held->position != m_view.sliderValue(held->channel))
        send(ChannelCode(held->channel), held->position);
}

void Panel::finish(int status)
{
    m_phase = Phase::Ended;
    m_exitStatus = status;
    if (!m_exiting)
        m_view.quit(status);
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
    if (m_phase != Phase::Started || m_state.SelectedChannel.empty())
        return;
    const bool sendLow = m_state.TogglePhase == 1;
    m_state.TogglePhase = sendLow ? 2 : 1;
    send(m_state.SelectedChannel.front(), sendLow ? kTestLow : kTestHigh);
}

void Panel::send(char code, int16_t value)
{
    m_link.write(FormatServoFrame(code, value));
}

} // namespace servo
