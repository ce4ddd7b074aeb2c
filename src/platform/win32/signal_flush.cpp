// Windows ends a console program on Ctrl-C without a handler of ours: the
// buffer is written out on the ordinary exit paths only.
#include "platform/signal_flush.h"

#include <windows.h>

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

void flushOnSignal(SignalFlush*) {}
void writeOutOnSignal(int) {}
void holdEndingSignals() {}
void sayOnSignal(const char*) {}
void removeOnSignal(const char*) {}
void farewellOnSignal() {}
void releaseEndingSignals() {}

}  // namespace platform
