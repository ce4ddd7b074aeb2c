// Watching the line at the operating system's boundary: every open, setting,
// read, write and close of a port passes here once, so whoever records the
// dialogue (the trace) needs no hook in the layers above.
#pragma once

#include <cstdint>

namespace platform {

// Told after each call, with its outcome; `error` is the last error of a call
// that failed. Reads that returned nothing are not told: the program polls.
struct LineObserver {
    void (*opened)(const char* device, bool ok, std::uint32_t error);
    void (*configured)(std::uint32_t baud, bool hardwareHandshake, bool ok, std::uint32_t error);
    void (*speedChanged)(std::uint32_t baud, bool ok, std::uint32_t error);
    // Reading the speed back failed: often the first sign of a line that has gone.
    void (*speedUnreadable)(std::uint32_t error);
    void (*read)(const void* data, std::uint32_t size, bool ok, std::uint32_t error);
    void (*written)(const void* data, std::uint32_t size, bool ok, std::uint32_t error);
    void (*closed)();
};

// nullptr stops the watching. The observer must outlive the watching.
void observeLine(const LineObserver* observer);
const LineObserver* currentLineObserver();

}  // namespace platform
