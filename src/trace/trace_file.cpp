#include "trace/trace_file.h"

#include <cstring>

namespace trace {

namespace {

// Whether the file still has a name costs a system call: looked at no more
// often than this, and at the close.
constexpr std::uint64_t kNameCheckEveryUs = 1000000;

}  // namespace

TraceFile::~TraceFile() { close(); }

bool TraceFile::open(const char* path, std::uint64_t startUs) {
    close();
    failure_ = 0;
    removed_ = false;
    file_ = platform::createFileAnew(path);
    if (file_ == platform::kInvalidFile) return false;
    signalFlush_.file = file_;
    // Everything is written already; the signal path has only an open line to end.
    signalFlush_.data = closing_;
    signalFlush_.length.store(0);
    signalFlush_.startUs = startUs;
    signalFlush_.signalEvent = "signal  ";  // the path adds a blank: nine places, as every event
    lastNameCheckUs_ = startUs;
    return true;
}

void TraceFile::flushOnSignal() {
    if (!isOpen()) return;
    platform::flushOnSignal(&signalFlush_);
    handedOver_ = true;
}

// Called with the ending signals held (see below), so that the signal path
// never writes its line into the middle of one of ours.
bool TraceFile::writeHeld(std::string_view bytes) {
    if (!isOpen() || failure_ != 0 || removed_ || bytes.empty()) return false;
    if (platform::writeFile(file_, bytes.data(), static_cast<std::uint32_t>(bytes.size()))) return true;
    failure_ = platform::lastError();
    if (failure_ == 0) failure_ = 1;
    return false;
}

void TraceFile::checkStillNamed() {
    const std::uint64_t now = platform::monotonicUs();
    if (now < lastNameCheckUs_ + kNameCheckEveryUs) return;
    lastNameCheckUs_ = now;
    if (platform::fileRemoved(file_)) removed_ = true;
}

void TraceFile::append(std::string_view lines) {
    platform::holdEndingSignals();
    endOpenLineHeld();
    writeHeld(lines);
    platform::releaseEndingSignals();
    checkStillNamed();
}

void TraceFile::appendOpen(std::string_view part, std::string_view closing) {
    if (closing.size() > sizeof closing_) closing = closing.substr(0, sizeof closing_);
    platform::holdEndingSignals();
    if (writeHeld(part)) {
        std::memcpy(closing_, closing.data(), closing.size());
        signalFlush_.length.store(closing.size(), std::memory_order_release);
    } else {
        // A line cut by a failure is not ended by the signal path either.
        signalFlush_.length.store(0, std::memory_order_release);
    }
    platform::releaseEndingSignals();
    checkStillNamed();
}

void TraceFile::endOpenLineHeld() {
    const std::size_t length = signalFlush_.length.load(std::memory_order_acquire);
    if (length == 0) return;
    writeHeld(std::string_view(closing_, length));
    signalFlush_.length.store(0, std::memory_order_release);
}

void TraceFile::closeOpenLine() {
    platform::holdEndingSignals();
    endOpenLineHeld();
    platform::releaseEndingSignals();
}

void TraceFile::close() {
    if (!isOpen()) return;
    closeOpenLine();
    if (handedOver_) platform::flushOnSignal(nullptr);
    handedOver_ = false;
    lastNameCheckUs_ = 0;
    checkStillNamed();
    platform::syncFile(file_);
    platform::closeFile(file_);
    file_ = platform::kInvalidFile;
}

}  // namespace trace
