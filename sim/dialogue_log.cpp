#include "dialogue_log.h"

namespace boxsim {

namespace {

constexpr std::size_t kShownBytes = 96;
constexpr std::uint64_t kGapUs = 20000;       // a pause this long starts a new line
constexpr std::uint64_t kLongestRunUs = 1000000;  // and a stream gets a line each second

std::string seconds(std::uint64_t us) {
    char text[32];
    std::snprintf(text, sizeof text, "%10.6f", static_cast<double>(us) / 1e6);
    return text;
}

}  // namespace

void appendEscaped(std::string& out, std::uint8_t value) {
    switch (value) {
    case '\r': out += "\\r"; return;
    case '\n': out += "\\n"; return;
    case '\t': out += "\\t"; return;
    case '\\': out += "\\\\"; return;
    case '"': out += "\\\""; return;
    default: break;
    }
    if (value >= 0x20 && value < 0x7F) {
        out += static_cast<char>(value);
        return;
    }
    char text[8];
    std::snprintf(text, sizeof text, "\\x%02X", value);
    out += text;
}

DialogueLog::~DialogueLog() {
    flush();
    if (file_) std::fclose(file_);
}

bool DialogueLog::open(const std::string& path) {
    file_ = std::fopen(path.c_str(), "w");
    if (file_) std::fprintf(file_, "# time [s]  direction  baud    bytes\n");
    return file_ != nullptr;
}

void DialogueLog::byte(std::uint64_t timeUs, Direction direction, std::uint32_t baud, std::uint8_t value,
                       bool garbled) {
    if (!file_) return;
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
    if (shown_.size() < kShownBytes) appendEscaped(shown_, value);
}

void DialogueLog::note(std::uint64_t timeUs, const std::string& text) {
    if (!file_) return;
    flush();
    std::fprintf(file_, "%s  --       %s\n", seconds(timeUs).c_str(), text.c_str());
    std::fflush(file_);
}

void DialogueLog::flush() {
    if (!file_ || !running_) return;
    std::string line = seconds(runStartUs_);
    line += direction_ == Direction::PcToBox ? "  PC>box  " : "  box>PC  ";
    char baud[16];
    std::snprintf(baud, sizeof baud, "%-7u ", baud_);
    line += baud;
    line += '"' + shown_ + '"';
    if (shown_.size() >= kShownBytes) line += " ... (" + std::to_string(count_) + " bytes)";
    if (garbled_) line += "  (garbled: sent at another speed)";
    std::fprintf(file_, "%s\n", line.c_str());
    std::fflush(file_);
    running_ = false;
    shown_.clear();
    count_ = 0;
}

}  // namespace boxsim
