// The monotonic clock, read by the program and by the signal path alike.
#include "platform/platform.h"

#include <time.h>

namespace platform {

// clock_gettime is async-signal-safe.
std::uint64_t monotonicUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

}  // namespace platform
