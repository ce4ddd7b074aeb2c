#include "trace/trace_file.h"

#include <cstring>

namespace trace {

namespace {

// Room for a few seconds of the fastest line: written out far less often than
// lines come, and never more than the program can lose to a crash.
constexpr std::size_t kBufferBytes = 1u << 20;
constexpr std::size_t kPendingBytes = 8192;

}  // namespace

TraceFile::~TraceFile() { close(); }

bool TraceFile::open(const char* path, std::uint64_t startUs) {
    close();
    buffer_ = std::make_unique<char[]>(kBufferBytes);
    pending_ = std::make_unique<char[]>(kPendingBytes);
    file_ = platform::createFileAnew(path);
    if (file_ == platform::kInvalidFile) return false;
    signalFlush_.file = file_;
    signalFlush_.data = buffer_.get();
    signalFlush_.length.store(0);
    signalFlush_.pending = pending_.get();
    signalFlush_.pendingLength.store(0);
    signalFlush_.startUs = startUs;
    signalFlush_.signalEvent = "signal  ";  // the path adds a blank: nine places, as every event
    return true;
}

void TraceFile::flushOnSignal() {
    if (!isOpen()) return;
    platform::flushOnSignal(&signalFlush_);
    handedOver_ = true;
}

void TraceFile::append(std::string_view lines) {
    if (!isOpen()) return;
    std::size_t length = signalFlush_.length.load(std::memory_order_relaxed);
    if (length + lines.size() > kBufferBytes) {
        flush();
        length = 0;
    }
    if (lines.size() > kBufferBytes) {
        platform::writeFile(file_, lines.data(), static_cast<std::uint32_t>(lines.size()));
        return;
    }
    std::memcpy(buffer_.get() + length, lines.data(), lines.size());
    // Published after the copy: the signal path writes complete lines only.
    signalFlush_.length.store(length + lines.size(), std::memory_order_release);
}

void TraceFile::setPendingLine(std::string_view line) {
    if (!isOpen()) return;
    signalFlush_.pendingLength.store(0, std::memory_order_release);
    if (line.empty() || line.size() > kPendingBytes) return;
    std::memcpy(pending_.get(), line.data(), line.size());
    signalFlush_.pendingLength.store(line.size(), std::memory_order_release);
}

void TraceFile::flush() {
    if (!isOpen()) return;
    platform::holdEndingSignals();
    const std::size_t length = signalFlush_.length.load(std::memory_order_relaxed);
    if (length > 0) platform::writeFile(file_, buffer_.get(), static_cast<std::uint32_t>(length));
    signalFlush_.length.store(0, std::memory_order_release);
    platform::releaseEndingSignals();
}

void TraceFile::close() {
    if (!isOpen()) return;
    flush();
    if (handedOver_) platform::flushOnSignal(nullptr);
    handedOver_ = false;
    platform::closeFile(file_);
    file_ = platform::kInvalidFile;
}

}  // namespace trace
