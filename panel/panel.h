#pragma once

#include "panel_view.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace servo {

class FrameLink;

// Program-wide test state.
struct Module1 {
    std::string SelectedChannel; // empty, or the code of the channel under test
    int16_t TogglePhase = 0; // 0 nothing sent yet, 1 sent 255 last, 2 sent 96 last
};

char ChannelCode(int channel);

// Every way the program can be asked to end.
enum class EndRequest {
    ExitButton, // the EXIT button
    WindowClose, // the title bar's close, Alt+F4
    Outside, // a signal, Ctrl+C or a closed console, the session ending: nobody may be
             // at the screen to answer a box
    ProcessExiting, // the process already exits (the display went away): the window is not
                    // touched
};

// The panel's behaviour, one handler per event. The window calls these and nothing else.
class Panel {
public:
    static constexpr int16_t kStartValue = 50;
    static constexpr int16_t kTestHigh = 255;
    static constexpr int16_t kTestLow = 96;
    static constexpr int kSuccess = 0;
    static constexpr int kFailure = 1;

    Panel(PanelView& view, FrameLink& link);

    // False when the port did not open (the link has reported why), or when an ending was
    // asked for before start-up was done. `deliverEndings` hands on, as calls to `end`, what
    // was asked for meanwhile; it is called before the port opens, after it, and before each
    // start-up frame, so an ending stops start-up there: nothing more is sent, the port closes.
    bool start(const std::function<void()>& deliverEndings = {});

    void sliderChanged(int channel);
    void lowerBoundTextChanged();
    void exitClicked();
    void testClicked(int channel);
    void tick();

    // The one place that decides how the program ends. Everything queued goes out before
    // the port closes; the status is 0 only when it did. True when the program ends now,
    // false when a failure report ends it instead (or it goes on).
    bool end(EndRequest request);
    // The link failed: reported once, and nothing is sent after it.
    void linkFailed(const std::string& message);
    void reportAnswered();

    const Module1& state() const { return m_state; }
    // Set once the program's end is decided.
    std::optional<int> exitStatus() const { return m_exitStatus; }

private:
    enum class Phase { Created, Started, Failed, Ended };

    void send(char code, int16_t value);
    void letGo(EndRequest request);
    void finish(int status);

    PanelView& m_view;
    FrameLink& m_link;
    Module1 m_state;
    Phase m_phase = Phase::Created;
    bool m_reportOnScreen = true;
    bool m_exiting = false;
    std::optional<int> m_exitStatus;
};

} // namespace servo
