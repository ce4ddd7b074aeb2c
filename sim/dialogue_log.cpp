#include "dialogue_log.h"

namespace boxsim {

namespace {

constexpr std::size_t kShownBytes = 96;
constexpr std::uint64_t kGapUs = 20000;       // a pause this long starts a new line
constexpr std::uint64_t kLongestRunUs = 1000000;  // and a stream gets a line each second

}  // namespace

DialogueLog::~DialogueLog() { flush(); }

bool DialogueLog::open(const std::string& path) {
    if (!file_.open(path.c_str(), platform::monotonicUs())) return false;
    file_.append(std::string(trace::kColumnsLine) + "\n");
    return true;
}

void DialogueLog::byte(std::uint64_t timeUs, Direction direction, std::uint32_t baud, std::uint8_t value,
                       bool garbled) {
    if (!isOpen()) return;
    if (running_ && (direction != direction_ || baud != baud_ || garbled != garbled_ || timeUs > runLastUs_ + kGapUs ||
                     timeUs > runStartUs_ + kLongestRunUs))
        flush();
    if (!running_) {
        running_ = true;
        runStartUs_ = timeUs;
        direction_ = direction;
        baud_ = baud;
        garbled_ = garbled;
    }
    runLastUs_ = timeUs;
    ++count_;
    if (shown_.size() < kShownBytes) shown_ += static_cast<char>(value);
}

void DialogueLog::note(std::uint64_t timeUs, const std::string& text) {
    if (!isOpen()) return;
    flush();
    std::string line;
    trace::appendNoteLine(line, timeUs, text);
    file_.append(line);
}

void DialogueLog::flush() {
    if (!isOpen() || !running_) return;
    std::string line;
    trace::appendBytesLine(line, runStartUs_, direction_, baud_, shown_, count_, garbled_);
    file_.append(line);
    running_ = false;
    shown_.clear();
    count_ = 0;
}

}  // namespace boxsim
