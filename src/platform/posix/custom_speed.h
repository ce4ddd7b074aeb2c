// A Linux serial port can carry a custom-speed flag and divisor (left there by
// setserial, say) that make the standard speed 38400 run at another rate; no
// termios call shows or clears them.
#pragma once

namespace platform {

// Clears the custom-speed flags and divisor where the driver has them. false
// only when they are there and stay set; a driver without the call (a
// pseudo-terminal, many USB adapters) has nothing to clear.
bool clearCustomSpeed(int fd);

}  // namespace platform
