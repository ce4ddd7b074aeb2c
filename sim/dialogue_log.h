// The dialogue on the line, both ways, with time stamps: what a technician
// reads to see where an update went wrong.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace boxsim {

enum class Direction { PcToBox, BoxToPc };

class DialogueLog {
public:
    DialogueLog() = default;
    ~DialogueLog();
    DialogueLog(const DialogueLog&) = delete;
    DialogueLog& operator=(const DialogueLog&) = delete;

    bool open(const std::string& path);
    bool isOpen() const { return file_ != nullptr; }

    // Consecutive bytes one way at one speed make one line; a long stream
    // shows its first bytes and how many followed.
    void byte(std::uint64_t timeUs, Direction direction, std::uint32_t baud, std::uint8_t value, bool garbled);
    void note(std::uint64_t timeUs, const std::string& text);
    void flush();

private:
    std::FILE* file_ = nullptr;
    bool running_ = false;
    std::uint64_t runStartUs_ = 0;
    std::uint64_t runLastUs_ = 0;
    Direction direction_ = Direction::PcToBox;
    std::uint32_t baud_ = 0;
    bool garbled_ = false;
    std::string shown_;
    std::uint64_t count_ = 0;
};

// A byte as it appears in the log: printable as is, the rest escaped.
void appendEscaped(std::string& out, std::uint8_t value);

}  // namespace boxsim
