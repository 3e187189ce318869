#pragma once

#include <QString>

#include <optional>

// What the system says about its serial ports, as plain facts: the platform files gather
// them, first_port.cpp decides and words the reports.
namespace servo {

// How the attempt to open the platform's first port (/dev/ttyS0, COM1) ended.
struct FirstPortOutcome {
    enum class Fault { None, Missing, InputOutput, Other };

    QString device;
    Fault fault = Fault::None;
    // The kernel's UART type of the device behind the node, where it can be read; the
    // serial driver's placeholders with no UART behind them read 0.
    std::optional<int> uartType;
    QString reason; // the system's own text
};

// One serial port as the system lists it.
struct PortDescription {
    QString device; // the path or name to open: /dev/ttyUSB0, COM3
    QString description;
    QString manufacturer;
    std::optional<quint16> vendorId; // USB devices only
    quint16 productId = 0;
    QString serialNumber;
    bool placeholder = false; // a UART slot with no UART behind it
    QString refusingGroup; // the group the user must join to open it, when refused
};

// A board's own name for its primary UART, as a Raspberry Pi's /dev/serial0.
struct BoardPort {
    QString device; // the name: /dev/serial0
    QString target; // the device it links to: /dev/ttyAMA0
};

// What the computer offers besides its listed ports, for the rule and the report's advice.
struct PortHints {
    bool brltty = false; // the braille display service, which takes CH340 adapters
    QString brlttyRule; // its udev rule, where found
    bool deviceManager = false; // ports are numbered in Windows' Device Manager
    std::optional<BoardPort> boardPort {};
};

// Who holds a port that another program has open, as far as the system tells.
struct PortHolder {
    QString program; // empty when not named
    std::optional<qint64> pid; // empty when the system does not say who
};

} // namespace servo
