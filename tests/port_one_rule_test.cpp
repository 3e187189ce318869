// Which device is port 1: the rule over every first-port outcome and adapter count, on each
// system, and the words for a port another program holds. No port is opened.
#include "first_port.h"

#include <gtest/gtest.h>

#include <array>
#include <ostream>
#include <tuple>

namespace servo {
namespace {

    using Fault = FirstPortOutcome::Fault;
    using Kind = PortOne::Kind;

    struct Platform {
        const char* name;
        QString first;
        QString missingText;
        QList<PortDescription> others; // never chosen
        std::array<PortDescription, 2> adapters;
        PortHints hints;
    };

    PortDescription Placeholder(const char* device)
    {
        PortDescription port;
        port.device = QLatin1String(device);
        port.placeholder = true;
        return port;
    }

    const Platform kLinux {
        "Linux",
        "/dev/ttyS0",
        "No such file or directory",
        { Placeholder("/dev/ttyS3"), Placeholder("/dev/ttyS1"), Placeholder("/dev/ttyS2"),
            { "/dev/ttyS10", "", "", {}, 0, "", false, "" },
            { "/dev/rfcomm0", "Bluetooth serial", "", {}, 0, "", false, "" } },
        { { { "/dev/ttyUSB0", "FT232R USB UART", "FTDI", 0x0403, 0x6001, "A50285BI", false,
                "dialout" },
            { "/dev/ttyACM0", "USB Serial", "QinHeng Electronics", 0x1a86, 0x7523, "", false,
                "" } } },
        { true, "/usr/lib/udev/rules.d/85-brltty.rules" },
    };

    const Platform kWindows {
        "Windows",
        "COM1",
        "The system cannot find the file specified.",
        {},
        { { { "COM3", "", "wch.cn", 0x1a86, 0x7523, "", false, "" },
            { "COM4", "USB Serial Port", "FTDI", 0x0403, 0x6001, "AB0LQ9X1", false, "" } } },
        { false, "", true },
    };

    struct Outcome {
        const char* name;
        Fault fault;
        std::optional<int> uartType;
        const char* why; // in the report when nothing serves
        std::array<Kind, 3> expected; // with 0, 1 and 2 adapters
    };

    const Outcome kOutcomes[] = {
        { "opens", Fault::None, {}, "", { Kind::FirstPort, Kind::FirstPort, Kind::FirstPort } },
        { "missing", Fault::Missing, {}, "does not exist",
            { Kind::NoDevice, Kind::Adapter, Kind::NoDevice } },
        { "placeholder", Fault::InputOutput, 0, "has no UART behind it (Input/output error)",
            { Kind::NoDevice, Kind::Adapter, Kind::NoDevice } },
        { "io_error_type_unreadable", Fault::InputOutput, {},
            "has no UART behind it (Input/output error)",
            { Kind::NoDevice, Kind::Adapter, Kind::NoDevice } },
        { "io_error_on_a_real_uart", Fault::InputOutput, 4, "",
            { Kind::FirstPortFailed, Kind::FirstPortFailed, Kind::FirstPortFailed } },
        // Refused and busy alike: a real port that did not open.
        { "refused_or_busy", Fault::Other, {}, "",
            { Kind::FirstPortFailed, Kind::FirstPortFailed, Kind::FirstPortFailed } },
    };

    using Row = std::tuple<Outcome, int, Platform>;

    void PrintTo(const Row& row, std::ostream* os)
    {
        *os << std::get<0>(row).name << ", adapters: " << std::get<1>(row) << ", on "
            << std::get<2>(row).name;
    }

    class PortOneTable : public testing::TestWithParam<Row> { };

    TEST_P(PortOneTable, ChoosesTheDeviceOrReportsWhy)
    {
        const auto& [outcome, adapterCount, platform] = GetParam();
        QList<PortDescription> ports = platform.others;
        // The adapters come last, as a system may list them.
        for (int i = 0; i < adapterCount; ++i)
            ports.append(platform.adapters[i]);
        const QString reason = outcome.fault == Fault::Missing ? platform.missingText
            : outcome.fault == Fault::InputOutput ? QStringLiteral("Input/output error")
                                                  : QStringLiteral("Permission denied");
        const PortOne one = ChoosePortOne(
            { platform.first, outcome.fault, outcome.uartType, reason }, ports, platform.hints);

        ASSERT_EQ(one.kind, outcome.expected[adapterCount]);
        switch (one.kind) {
        case Kind::FirstPort:
        case Kind::FirstPortFailed:
            EXPECT_EQ(one.device, platform.first);
            EXPECT_EQ(one.report, QString());
            return;
        case Kind::Adapter: {
            const PortDescription& adapter = platform.adapters[0];
            EXPECT_EQ(one.device, adapter.device);
            EXPECT_EQ(one.description,
                adapter.description.isEmpty() ? QStringLiteral("USB serial adapter")
                                              : adapter.description);
            return;
        }
        case Kind::BoardPort: // never expected: these systems offer none
            return;
        case Kind::NoDevice:
            break;
        }

        const std::string report = one.report.toStdString();
        EXPECT_EQ(one.device, QString());
        EXPECT_TRUE(one.report.startsWith(
            QStringLiteral("Cannot open port 1: it has no device. %1 ").arg(platform.first)))
            << report;
        EXPECT_TRUE(one.report.contains(QLatin1String(outcome.why))) << report;
        // The system's own text, without a closing full stop inside the brackets.
        EXPECT_TRUE(
            one.report.contains(QLatin1Char('(') + reason.chopped(reason.endsWith('.')) + ')'))
            << report;
        // Every port found is listed, adapters first; placeholders share one line.
        qsizetype lastAdapter = -1;
        for (int i = 0; i < adapterCount; ++i) {
            const qsizetype at = one.report.indexOf(platform.adapters[i].device + ": ");
            EXPECT_GE(at, 0) << report;
            lastAdapter = std::max(lastAdapter, at);
        }
        for (const PortDescription& port : platform.others) {
            if (port.placeholder) {
                EXPECT_FALSE(one.report.contains(port.device + ": ")) << report;
                continue;
            }
            const qsizetype at = one.report.indexOf(port.device + ": ");
            EXPECT_GT(at, lastAdapter) << report;
        }
        if (platform.first == kLinux.first) {
            EXPECT_TRUE(one.report.contains(QLatin1String(
                "3 placeholders with no UART behind them (/dev/ttyS1 ... /dev/ttyS3)")))
                << report;
            EXPECT_TRUE(one.report.contains(QLatin1String("/dev/ttyS10: no description, maker "
                                                          "unknown, not USB, no serial number")))
                << report;
        }
        EXPECT_EQ(
            one.report.contains(QLatin1String("Serial ports found: none found")), ports.isEmpty())
            << report;

        // Windows numbers its ports in the Device Manager, where the adapter can be made COM1.
        EXPECT_EQ(one.report.contains(QLatin1String("Device Manager, Ports (COM & LPT)")),
            platform.hints.deviceManager)
            << report;
        const bool brlttyNoted = one.report.contains(QLatin1String("brltty"));
        const bool groupNoted = one.report.contains(QLatin1String("sudo usermod -aG dialout"));
        if (adapterCount == 0) {
            EXPECT_TRUE(one.report.contains(QLatin1String("no USB serial adapter was found")))
                << report;
            EXPECT_FALSE(one.report.contains(QLatin1String("Unplug"))) << report;
            EXPECT_EQ(brlttyNoted, platform.hints.brltty) << report;
            if (platform.hints.brltty) {
                EXPECT_TRUE(one.report.contains(platform.hints.brlttyRule)) << report;
            }
            EXPECT_FALSE(groupNoted) << report;
        } else {
            EXPECT_TRUE(one.report.contains(QLatin1String("2 USB serial adapters were found")))
                << report;
            EXPECT_TRUE(
                one.report.contains(QLatin1String("Unplug all adapters but the controller's")))
                << report;
            EXPECT_FALSE(brlttyNoted) << report;
            EXPECT_EQ(groupNoted, platform.first == kLinux.first) << report;
        }
    }

    INSTANTIATE_TEST_SUITE_P(Rule, PortOneTable,
        testing::Combine(testing::ValuesIn(kOutcomes), testing::Values(0, 1, 2),
            testing::Values(kLinux, kWindows)),
        [](const testing::TestParamInfo<Row>& info) {
            return std::string(std::get<0>(info.param).name) + "_"
                + std::to_string(std::get<1>(info.param)) + "_adapters_"
                + std::get<2>(info.param).name;
        });

    // A board's own UART link (a Raspberry Pi's /dev/serial0) stands in for a first port that
    // is not there, before any adapter; never for a first port that failed, nor as itself.
    TEST(PortOne, BoardPortBeforeTheAdapter)
    {
        const PortDescription adapter = kLinux.adapters[0];
        const struct {
            const char* name;
            Fault fault;
            std::optional<int> uartType;
            QString target;
            Kind expected;
        } rows[] = {
            { "missing", Fault::Missing, {}, "/dev/ttyAMA0", Kind::BoardPort },
            { "placeholder", Fault::InputOutput, 0, "/dev/ttyAMA0", Kind::BoardPort },
            { "links_to_the_failed_first_port", Fault::InputOutput, 0, "/dev/ttyS0",
                Kind::Adapter },
            { "real_uart_failed", Fault::InputOutput, 4, "/dev/ttyAMA0", Kind::FirstPortFailed },
            { "first_port_opens", Fault::None, {}, "/dev/ttyAMA0", Kind::FirstPort },
        };
        for (const auto& row : rows) {
            PortHints hints;
            hints.boardPort = BoardPort { QStringLiteral("/dev/serial0"), row.target };
            const PortOne one = ChoosePortOne(
                { QStringLiteral("/dev/ttyS0"), row.fault, row.uartType, QStringLiteral("x") },
                { adapter }, hints);
            EXPECT_EQ(one.kind, row.expected) << row.name;
            if (one.kind == Kind::BoardPort) {
                EXPECT_EQ(one.device.toStdString(), "/dev/serial0") << row.name;
                EXPECT_EQ(one.description.toStdString(), "ttyAMA0") << row.name;
            }
        }
    }

    // The console guard finds the device number in any field of a line: a field it does not
    // know never lets the panel write into the console.
    TEST(PortOne, ConsoleListedInAnyField)
    {
        const std::pair<QByteArray, const char*> rows[] = {
            { "tty0 -WU (E  p  ) 4:1\nttyS0 -W- (EC p a) 4:64\n", "ttyS0" },
            { "ttyS0 -W- (EC p a) 4:64 x\n", "ttyS0" },
            { "ttyS0\t-W-\t(EC p a)\t4:64\r\n", "ttyS0" },
            { QByteArray("ttyS0 -W- (EC p a) 4:64\0x\n", 26), "ttyS0" },
            { "ttyS0 -W- (EC p a) 4:640 14:64 4:6\n4:64\n", "none" },
        };
        for (const auto& [consoles, expected] : rows)
            EXPECT_EQ(ListedConsole(consoles, "4:64").value_or("none").toStdString(), expected)
                << consoles.toStdString();
    }

    // What a real holder's report says is checked against one (PortFault.HeldByAnotherProgram);
    // here, the two cases no test machine makes: a holder with no name, and the system's own
    // words (Windows' "Access is denied.") inside the sentence, without their full stop.
    TEST(PortOne, HeldPortWithoutItsHoldersNameOrADoubleStop)
    {
        const struct {
            QString reason;
            const char* shown;
        } rows[] = {
            { InUseByAnotherProgram(QString(), 17), "(unknown, process 17)." },
            { InUseByAnotherProgram(QStringLiteral("Access is denied.")), "(Access is denied)." },
        };
        for (const auto& row : rows)
            EXPECT_TRUE(row.reason.endsWith(QLatin1String(row.shown))) << row.reason.toStdString();
    }

} // namespace
} // namespace servo
