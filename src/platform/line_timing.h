// How long written bytes are given to leave the line before its settings
// change at close. A drain counts only the system's buffer; the UART's FIFO,
// its shift register and a USB adapter's own buffer still hold bytes after it
// ends, and a new divisor garbles whatever is still going out.
#pragma once

#include <cstdint>

namespace platform {

// Bound on the driver's drain at close: a line held by CTS never empties.
inline constexpr std::uint32_t kCloseDrainLimitMs = 1000;
// After the drain: this many character times at the line's speed ...
inline constexpr std::uint32_t kCloseMarginCharacters = 2;
// ... and never less than this, for an adapter's buffer and its USB frame.
inline constexpr std::uint32_t kCloseLeastMarginMs = 20;

// Milliseconds to wait after the drain at this speed (10 bits a character).
constexpr std::uint32_t closeMarginMs(std::uint32_t baud) {
    if (baud == 0) return kCloseLeastMarginMs;
    const std::uint64_t charactersMs = (std::uint64_t{kCloseMarginCharacters} * 10 * 1000 + baud - 1) / baud;
    return charactersMs > kCloseLeastMarginMs ? static_cast<std::uint32_t>(charactersMs) : kCloseLeastMarginMs;
}

}  // namespace platform
