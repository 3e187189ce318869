#pragma once

#include "panel.h"
#include "panel_view.h"
#include "serial_link.h"
#include "window_destroyed_watch.h"

#include <QTimer>
#include <QWidget>

#include <array>
#include <functional>
#include <optional>
#include <vector>

class QLabel;
class QLineEdit;
class QMessageBox;
class QPushButton;

namespace servo {

class Slider;

// The panel's window. It shows what the panel tells it and forwards every control's
// event to the panel; it decides nothing itself.
class Form1 : public QWidget, public PanelView {
    Q_OBJECT

public:
    static constexpr int kTickMs = 1000;

    // On SerialLink::kPortOne, or on `device` alone (see SerialLink).
    explicit Form1(const std::optional<QString>& device, QWidget* parent = nullptr);

    // Runs the start-up sequence; false when the port failed and a report is showing, or
    // when the program was asked to end before it was done (see Panel::start).
    bool start(const std::function<void()>& deliverEndings = {});

    Panel& panel() { return m_panel; }
    SerialLink& link() { return m_link; }

    int16_t sliderValue(int channel) const override;
    void setSliderValue(int channel, int16_t value) override;
    void setSliderMinimum(int channel, int16_t minimum) override;
    void setReadout(int channel, const std::string& text) override;
    void endHold() override;
    std::optional<HeldThumb> heldThumb() const override;
    std::string lowerBoundText() const override;
    void setLowerBoundText(const std::string& text) override;
    void setLabelColour(int channel, ColourValue colour) override;
    void setTestRunning(int channel, bool running) override;
    void report(const std::string& message, bool onScreen) override;
    void quit(int status) override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    template <typename Widget> Widget* place(const char* name);
    QLabel* label(
        const char* name, const QString& caption, std::optional<ColourValue> text = std::nullopt);
    void paintLabel(QLabel* label, ColourValue background, std::optional<ColourValue> text);
    QPushButton* button(const char* name, const QString& caption);
    void buildChannel(int channel);
    void setFocusChain();
    QMessageBox* reportBox(const QString& message);

    SerialLink m_link;
    Panel m_panel;
    QTimer m_timer;
    std::array<Slider*, kChannelCount> m_sliders {};
    std::array<QLineEdit*, kChannelCount> m_readouts {};
    std::array<QLabel*, kChannelCount> m_labels {};
    std::array<QPushButton*, kChannelCount> m_tests {};
    // Every label's colours as last set, painted again when the desktop's palette changes.
    struct LabelColours {
        QLabel* label;
        ColourValue background;
        std::optional<ColourValue> text;
    };
    std::vector<LabelColours> m_labelColours;
    QLineEdit* m_entry = nullptr;
    std::optional<platform::WindowDestroyedWatch> m_destroyedWatch;
};

} // namespace servo
