// A serial driver under the real POSIX port code: the test binary links with
// -Wl,--wrap for the terminal calls, and the calls on the one device the
// driver claims reach a UART model on a virtual clock instead of the kernel.
// The device itself is a pseudo-terminal, so that open, flock and close are
// the system's own. Polls and the monotonic clock run on the virtual clock
// while the driver is installed; everything else passes through.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <termios.h>

#include "uart_model.h"

namespace fakeuart {

struct Driver {
    simline::UartModel uart;
    std::uint64_t nowUs = 1'000'000;
    termios stored{};  // what the driver holds: tcgetattr returns it

    // What the driver lacks or gets wrong.
    int exclusiveError = 0;     // TIOCEXCL fails with this (ENOTTY, EINVAL)
    int modemLinesError = 0;    // TIOCMGET/TIOCMBIS/TIOCMBIC fail with this
    bool keepsSpeed = false;    // takes tcsetattr but the line stays at its old speed
    bool hasSerialInfo = true;  // TIOCGSERIAL/TIOCSSERIAL exist
    bool customSpeed = false;   // ASYNC_SPD_CUST and a divisor are set
    bool customSpeedSticks = false;  // TIOCSSERIAL leaves them set
    std::uint64_t closingWaitUs = 30'000'000;  // close() with output queued
    bool drainWaitsForTransmitter = true;  // false: tcdrain ends with the buffer (cdc-acm, adapters)

    // Every call the port code made on the device, in order ("tcsetattr 9600",
    // "TIOCMBIC", "tcflush", "close", ...).
    std::vector<std::string> calls;
    bool drainWouldHang = false;  // tcdrain with output queued behind CTS: the kernel waits for ever
    int dtrRts = 0;               // TIOCM_DTR | TIOCM_RTS as driven

    bool called(const std::string& name) const;
    // Position of the first call that starts with `name`, or -1.
    int indexOf(const std::string& name) const;
};

// Claims the pseudo-terminal at `device` (opened by the port code later) and
// starts the virtual clock; the stored settings start at 9600 baud with HUPCL.
Driver& install(const std::string& device, simline::UartModel::Options options = {});
void uninstall();

}  // namespace fakeuart
