// The time limits of the timed waits. A limit counts from a start taken with
// platform::millis() and has passed once more than its milliseconds have gone
// by; a limit of 0 means none.
#pragma once

#include <algorithm>
#include <cstdint>

#include "platform/platform.h"

// What is left of the limit, or -1 once it has passed.
inline std::int64_t timeLeftMs(std::uint32_t start, std::uint32_t limitMs) {
    const std::uint32_t elapsed = platform::millis() - start;
    return elapsed > limitMs ? -1 : std::int64_t{limitMs - elapsed};
}

inline bool limitPassed(std::uint32_t start, std::uint32_t limitMs) {
    return limitMs != 0 && timeLeftMs(start, limitMs) < 0;
}

// A sleep that ends one millisecond past the limit, so that the next look sees
// it passed; no longer than capMs, and never the platform's "for ever".
inline std::uint32_t sleepPastLimitMs(std::int64_t timeLeft, std::uint32_t capMs = platform::kWaitForever) {
    const std::uint64_t wait = std::min<std::uint64_t>(static_cast<std::uint64_t>(timeLeft) + 1, capMs);
    return wait >= platform::kWaitForever ? platform::kWaitForever - 1 : static_cast<std::uint32_t>(wait);
}
