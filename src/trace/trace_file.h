// A trace file: created anew (never through a link planted at its name),
// written through a buffer allocated once, so that writing a line costs no
// system call and the signal path can still write out what is buffered.
#pragma once

#include <memory>
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
    // Until close(), a signal that ends the program first writes out the buffer.
    void flushOnSignal();

    // Whole lines only, so that the signal path never writes half a line.
    void append(std::string_view lines);
    // The line that is still growing: kept apart, and written out only by the
    // signal path; the ordinary path appends it once it is complete.
    void setPendingLine(std::string_view line);
    void flush();
    void close();

private:
    platform::FileHandle file_ = platform::kInvalidFile;
    std::unique_ptr<char[]> buffer_;
    std::unique_ptr<char[]> pending_;
    platform::SignalFlush signalFlush_;
    bool handedOver_ = false;
};

}  // namespace trace
