#include "controls.h"
#include "form1.h"
#include "layout_expectations.h"
#include "pty.h"

#include <QLineEdit>
#include <QPixmap>
#include <QTest>
#include <QWindow>

#include <gtest/gtest.h>

namespace servo {
namespace {

    using test::Control;
    using test::ExpectedControl;
    using test::kExpectedControls;

    constexpr int kScale = 2;

    // The window at twice the pixel density, as on a 192 dpi screen.
    class ScaledLayout : public testing::Test {
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

    TEST_F(ScaledLayout, PanelScalesWholeInDevicePixels)
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

    TEST_F(ScaledLayout, NoControlOverlapsAnotherOrLeavesTheWindow)
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

    TEST_F(ScaledLayout, EveryCaptionFitsItsControl)
    {
        for (const ExpectedControl& expected : kExpectedControls) {
            if (!expected.text)
                continue;
            SCOPED_TRACE(expected.name);
            QWidget* widget = Control(form, expected.name);
            ASSERT_NE(widget, nullptr);
            test::ExpectCaptionFits(widget, QLatin1String(expected.text));
        }
    }

    // Negative values read in four digits; at twice the density they must still show whole.
    TEST_F(ScaledLayout, ReadoutsShowFourDigitsWhole)
    {
        for (const char* text : { "FFEC", "FFFF", "8000", "FF" }) {
            for (int channel = 0; channel < kChannelCount; ++channel) {
                SCOPED_TRACE(channel + 1);
                form.setReadout(channel, text);
                auto* readout
                    = form.findChild<QLineEdit*>(QStringLiteral("Text%1").arg(channel + 2));
                ASSERT_NE(readout, nullptr);
                test::ExpectReadoutWhole(readout);
            }
        }
    }

} // namespace
} // namespace servo
