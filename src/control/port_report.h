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
