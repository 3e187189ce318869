#pragma once

#include "port_facts.h"

#include <QSerialPort>
#include <QSerialPortInfo>

// What finding port 1 and its reports need to know about the computer's ports, as facts. Each
// platform has its own file (port_survey_linux.cpp, port_survey_windows.cpp); the build picks one.
namespace servo::platform {

// Port number 1: /dev/ttyS0, COM1.
QString FirstPortName();

// Fills in what a failed open of the first port says beyond QSerialPort's error: whether it
// is a placeholder with no UART behind it. Windows lists no such placeholders, so there it
// adds nothing.
void ReadFirstPortFault(FirstPortOutcome& outcome, QSerialPort::SerialPortError error);

// A listed port as the system describes it: the name to open, whether it is a placeholder,
// and the group that refuses it.
PortDescription ListedPort(const QSerialPortInfo& info);

// What the computer offers besides its ports, for a report's advice.
PortHints SystemHints();

// The group the user must join to open a refused device. Windows has no such groups: there
// a refusal always means another program holds the port, so it answers empty.
QString RefusingGroup(const QString& device);

// The name of the system console that `device` is (its device number listed as an active
// console), following links; empty when it is none. Windows lends no COM port to a console
// that a program could open meanwhile (its serial console holds the port), so there it is
// always empty.
std::optional<QString> ConsoleOf(const QString& device);

} // namespace servo::platform
