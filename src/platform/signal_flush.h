// A buffered file that must be complete however the program ends: when a
// signal ends it, the signal path (the one that restores the line) writes out
// what the buffer holds, then one last line saying which signal it was.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace platform {

struct SignalFlush {
    FileHandle file = kInvalidFile;
    const char* data = nullptr;              // the buffer, allocated before it is handed over
    std::atomic<std::size_t> length{0};      // bytes of `data` that are complete lines
    // A line still growing (the bytes of a read that goes on), written after `data`.
    const char* pending = nullptr;
    std::atomic<std::size_t> pendingLength{0};
    std::uint64_t startUs = 0;               // monotonicUs() when the file's times began
    const char* signalEvent = "signal";      // the last line: "<time>  <signalEvent> <name>"
};

// Hands the buffer to the signal path (nullptr: takes it back). Only one at a time.
void flushOnSignal(SignalFlush* flush);

// Called by the signal path only: writes the buffer and the last line.
// Async-signal-safe: no allocation, no locks, only write(2) and clock_gettime.
void writeOutOnSignal(int signalNumber);

// Keep the signals that end the program from running while the buffer is
// written out and emptied the ordinary way, and let them run again.
void holdEndingSignals();
void releaseEndingSignals();

// What else a signal that ends the program leaves behind: a text for the
// person at the terminal, written to standard error, and a file removed.
// nullptr: nothing. Both must stay valid while handed over. The signal path
// calls farewellOnSignal after the buffer is written out.
void sayOnSignal(const char* text);
void removeOnSignal(const char* path);
void farewellOnSignal();

}  // namespace platform
