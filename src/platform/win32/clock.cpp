// The monotonic clock of the trace's times.
#include <windows.h>

#include "platform/platform.h"

namespace platform {

std::uint64_t monotonicUs() {
    LARGE_INTEGER frequency{};
    LARGE_INTEGER counter{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<std::uint64_t>(counter.QuadPart / frequency.QuadPart) * 1000000u +
           static_cast<std::uint64_t>(counter.QuadPart % frequency.QuadPart) * 1000000u /
               static_cast<std::uint64_t>(frequency.QuadPart);
}

}  // namespace platform
