#include "controls.h"
#include "form1.h"
#include "layout_expectations.h"
#include "pty.h"

#include <QLineEdit>
#include <QPixmap>
#include <QStyleFactory>
#include <QTest>
#include <QWindow>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

// Built into one suite at each scale; the scale is set before Qt starts.
#ifndef SERVO_TEST_SCALE
#define SERVO_TEST_SCALE 1
#endif

namespace servo {
namespace {

    using test::Control;
    using test::ExpectedControl;
    using test::kExpectedControls;
    using test::Readout;

    constexpr int kScale = SERVO_TEST_SCALE;

    // The window at the suite's pixel density: 2 is a 192 dpi screen.
    class LayoutAtScale : public testing::Test {
    protected:
        void SetUp() override
        {
            ASSERT_TRUE(form.start());
            form.show();
            ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
        }

        test::Pty pty;
        Form1 form { pty.path() };
    };

    TEST_F(LayoutAtScale, PanelScalesWholeInDevicePixels)
    {
        ASSERT_NE(form.windowHandle(), nullptr);
        EXPECT_DOUBLE_EQ(form.windowHandle()->devicePixelRatio(), kScale);
        EXPECT_DOUBLE_EQ(form.devicePixelRatioF(), kScale);

        const QPixmap window = form.grab();
        EXPECT_EQ(window.size(), QSize(test::kClientWidth, test::kClientHeight) * kScale);
        for (const ExpectedControl& expected : kExpectedControls) {
            SCOPED_TRACE(expected.name);
            QWidget* widget = Control(form, expected.name);
            ASSERT_NE(widget, nullptr);
            // Layout stays in device-independent pixels; Qt doubles it on the way out.
            EXPECT_EQ(widget->geometry(), expected.rect);
            EXPECT_EQ(widget->grab().size(), expected.rect.size() * kScale);
        }
    }

    TEST_F(LayoutAtScale, NoControlOverlapsAnotherOrLeavesTheWindow)
    {
        const QRect client = form.rect();
        for (const ExpectedControl& a : kExpectedControls) {
            SCOPED_TRACE(a.name);
            QWidget* first = Control(form, a.name);
            ASSERT_NE(first, nullptr);
            EXPECT_TRUE(client.contains(first->geometry()));
            for (const ExpectedControl& b : kExpectedControls) {
                if (&a == &b)
                    continue;
                QWidget* second = Control(form, b.name);
                ASSERT_NE(second, nullptr);
                EXPECT_FALSE(first->geometry().intersects(second->geometry())) << "and " << b.name;
            }
        }
    }

    // What the controls show, whole, at each scale and in the styles a readout meets (Fusion's
    // frame is 1 px, the Windows style's 2 px): captions fit, and readouts show all four digits
    // of a negative value.
    struct Look {
        int scale;
        const char* readoutStyle; // nullptr: the application's
    };

    void PrintTo(const Look& look, std::ostream* os)
    {
        *os << 'x' << look.scale << '_' << (look.readoutStyle ? look.readoutStyle : "application");
    }

    const Look kLooks[] = { { 1, nullptr }, { 1, "Windows" }, { 2, nullptr } };

    std::vector<Look> LooksAtThisScale()
    {
        std::vector<Look> looks;
        for (const Look& look : kLooks)
            if (look.scale == kScale)
                looks.push_back(look);
        return looks;
    }

    class TextsAtScale : public LayoutAtScale, public testing::WithParamInterface<Look> { };

    TEST_P(TextsAtScale, ShowWhole)
    {
        for (const ExpectedControl& expected : kExpectedControls) {
            SCOPED_TRACE(expected.name);
            if (expected.text)
                test::ExpectCaptionFits(Control(form, expected.name), QLatin1String(expected.text));
        }
        const char* styleName = GetParam().readoutStyle;
        std::unique_ptr<QStyle> style(styleName ? QStyleFactory::create(styleName) : nullptr);
        for (const char* text : { "FFEC", "FFFF", "8000", "FFF1", "FF", "1" }) {
            for (int channel = 0; channel < kChannelCount; ++channel) {
                SCOPED_TRACE(channel + 1);
                Readout(form, channel)->setStyle(style.get());
                form.setReadout(channel, text);
                test::ExpectReadoutWhole(Readout(form, channel));
                Readout(form, channel)->setStyle(nullptr);
            }
        }
        // And as the panel itself gets there: "min" at -20 and a slider dragged down to it.
        Control<QLineEdit>(form, "Text1")->setText(QStringLiteral("-20"));
        test::Slider(form, 2)->setValue(-20);
        EXPECT_EQ(Readout(form, 2)->text(), QStringLiteral("FFEC"));
        test::ExpectReadoutWhole(Readout(form, 2));
    }

    INSTANTIATE_TEST_SUITE_P(Looks, TextsAtScale, testing::ValuesIn(LooksAtThisScale()),
        testing::PrintToStringParamName());

} // namespace
} // namespace servo
