// Opening and configuring the COM port, switching its speed, and letting a box
// go whose boot loader is not supported.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "platform/serial_ports.h"


// How long one write call may take in irdeto mode: the access attempt's limit.
inline constexpr std::uint32_t kIrdetoWriteLimitMs = 15000;

// The access keyword: its length, the time a write of it may take outside
// irdeto mode and the speed it goes at with -k; and the pause before every
// speed change of the dialogue, so the last byte has left at the old speed.
inline constexpr std::uint32_t kKeywordLength = 8;
inline constexpr std::uint32_t kKeywordLimitMs = 1000;
inline constexpr std::uint32_t kSlowKeywordSpeed = 9600;
inline constexpr std::uint32_t kPauseBeforeSpeedChangeMs = 300;

// Opens the port the user chose at the given speed. The hardware handshake is on only when
// hardwareHandshake is exactly 1. In irdeto mode (non-zero) a write call may
// take up to kIrdetoWriteLimitMs; otherwise it returns after 10 ms plus 1 ms per byte.
// Returns platform::kInvalidPort with the reason in the last error.
platform::PortHandle openComPort(const platform::PortName& port, std::uint32_t speed, int irdetoMode, int hardwareHandshake);

// The same for COM1..COM4 by number; any other number fails with
// UPD_ERR_BAD_PORT and touches no device.
platform::PortHandle openComPort(std::uint32_t portNumber, std::uint32_t speed, int irdetoMode, int hardwareHandshake);

// Changes the speed of an open port; pauses 500 ms after an actual change.
bool setBaud(platform::PortHandle port, std::uint32_t speed);

// Sends the menu key "1" that lets the box leave its menu without an update,
// within a second. 1 when it was sent.
int sendLeaveMenuKey(platform::PortHandle port);

// Sends the menu key "1" at 115200 and again at 38400 baud. 1 when the second
// key was sent.
int releaseBootloader(platform::PortHandle port);
