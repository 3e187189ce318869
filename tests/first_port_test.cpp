// The window reaching the controller on its adapter when the first port has no UART, and
// staying on a first port that opens.
#include "first_port.h"
#include "form1.h"
#include "pty.h"
#include "servo_frame.h"

#include <QLabel>
#include <QScrollBar>

#include <gtest/gtest.h>

#include <optional>

namespace servo {
namespace {

    using test::Hex;
    using test::Pty;
    using Fault = FirstPortOutcome::Fault;
    using Kind = PortOne::Kind;

    // The first port is a pseudo-terminal that fails to open with an input/output error; the
    // system lists one adapter, another pseudo-terminal. The panel starts on the adapter.
    TEST(PortOne, PanelReachesTheControllerOnTheAdapter)
    {
        Pty first(Pty::NeverUnlocked {});
        Pty adapter;
        PortDescription listed { adapter.path(), "FT232R USB UART", "FTDI", 0x0403, 0x6001,
            "A50285BI", false, "" };
        std::optional<FirstPortOutcome> seen;
        Form1 form(first.path());
        form.link().setPortFinder([&](const FirstPortOutcome& outcome) {
            seen = outcome;
            return ChoosePortOne(outcome, { listed }, {});
        });

        ASSERT_TRUE(form.start());
        ASSERT_TRUE(seen.has_value());
        EXPECT_EQ(seen->device, first.path());
        EXPECT_EQ(seen->fault, Fault::InputOutput) << seen->reason.toStdString();
        EXPECT_FALSE(seen->uartType.has_value()) << "a pseudo-terminal has no UART type";

        std::string startUp;
        for (char code : { '0', '1', '2', '3' })
            startUp += FormatServoFrame(code, 50);
        EXPECT_EQ(Hex(adapter.read(startUp.size())), Hex(startUp));
        EXPECT_EQ(Hex(first.readAll()), "");

        auto* label = form.findChild<QLabel*>(QStringLiteral("Label5"));
        ASSERT_NE(label, nullptr);
        const QString inUse = QStringLiteral("Port 1: %1 (FT232R USB UART)").arg(adapter.path());
        EXPECT_EQ(label->text(), QStringLiteral("COM1 Only"));
        EXPECT_EQ(label->toolTip(), inUse);
        EXPECT_EQ(label->accessibleDescription(), inUse);

        // Later frames and reports are the adapter's too.
        form.findChild<QScrollBar*>(QStringLiteral("HScroll2"))->setValue(51);
        EXPECT_EQ(Hex(adapter.read(4)), Hex(FormatServoFrame('1', 51)));
        EXPECT_EQ(form.link().device(), adapter.path());
    }

    // A first port that opens is port 1, adapters or not: the list is not even asked for.
    TEST(PortOne, FirstPortThatOpensStaysPortOne)
    {
        Pty first;
        Pty adapter;
        bool asked = false;
        Form1 form(first.path());
        form.link().setPortFinder([&](const FirstPortOutcome& outcome) {
            asked = true;
            return ChoosePortOne(outcome,
                { { adapter.path(), "USB Serial", "", 0x1a86, 0x7523, "", false, "" } }, {});
        });

        ASSERT_TRUE(form.start());
        EXPECT_FALSE(asked);
        EXPECT_EQ(first.read(16).size(), 16u);
        EXPECT_EQ(Hex(adapter.readAll()), "");
        const QString inUse = QStringLiteral("Port 1: %1").arg(first.path());
        auto* label = form.findChild<QLabel*>(QStringLiteral("Label5"));
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->toolTip(), inUse);
        EXPECT_EQ(label->accessibleDescription(), inUse);
    }

} // namespace
} // namespace servo
