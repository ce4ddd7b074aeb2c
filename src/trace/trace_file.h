// A trace file: created anew (never through a link planted at its name) and
// written through to the system line by line, as the events happen, so that a
// run that dies, even by SIGKILL, leaves everything up to its last event.
//
// Nothing is synced to the disk on the way (only at the close): the program's
// dialogue is timed and must never wait on a slow disk. What the system has
// taken survives the process; only the machine losing power can lose the
// last seconds the system had not written back yet.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/signal_flush.h"

namespace trace {

class TraceFile {
public:
    TraceFile() = default;
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    // False with the platform's last error when the file cannot be created.
    // `startUs` (platform::monotonicUs()) is when the trace's times begin.
    bool open(const char* path, std::uint64_t startUs);
    bool isOpen() const { return file_ != platform::kInvalidFile; }
    // Until close(), a signal that ends the program closes the open line and
    // adds its own.
    void flushOnSignal();

    // Whole lines; an open line is closed first.
    void append(std::string_view lines);
    // A line that is still growing: each part is written at once, and
    // `closing` ends the line, by closeOpenLine() or by the signal path.
    void appendOpen(std::string_view part, std::string_view closing);
    void closeOpenLine();
    void close();

    // Once a write has failed, or the file lost its name, nothing more is
    // written: the file holds the run up to there. 0 while complete.
    std::uint32_t failure() const { return failure_; }
    bool removed() const { return removed_; }

private:
    bool writeHeld(std::string_view bytes);
    void endOpenLineHeld();
    void checkStillNamed();

    platform::FileHandle file_ = platform::kInvalidFile;
    char closing_[8] = {};
    platform::SignalFlush signalFlush_;
    bool handedOver_ = false;
    std::uint32_t failure_ = 0;
    bool removed_ = false;
    std::uint64_t lastNameCheckUs_ = 0;
};

}  // namespace trace
