// What the program tells about ports: the machine's serial ports, and why the
// chosen one would not open.
#pragma once

#include <cstdint>

#include "platform/serial_ports.h"

// The --list-ports listing on standard output, one port a line.
void printSerialPorts();

// The port failure line, followed on a terminal by advice that explains the
// system's error code.
void reportPortOpenFailure(const platform::PortName& port, std::uint32_t errorCode);

// Whether the chosen port is the machine's system console: then one line
// says so (and, on a terminal, how to choose another), and the port is never
// opened.
bool refuseSystemConsole(const platform::PortName& port);
