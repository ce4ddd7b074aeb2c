// The monotonic clock in whole milliseconds, wide enough never to wrap.
#pragma once

#include <cstdint>
#include <ctime>

namespace platform {

inline std::uint64_t monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

}  // namespace platform
