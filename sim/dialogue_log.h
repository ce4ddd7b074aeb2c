// The dialogue on the line, both ways, with time stamps: what a technician
// reads to see where an update went wrong. The lines are the trace's
// (trace/trace_format.h); each one is on disk as soon as it is complete, for
// whoever watches the log.
#pragma once

#include <cstdint>
#include <string>

#include "trace/trace_file.h"
#include "trace/trace_format.h"

namespace boxsim {

using Direction = trace::Direction;

class DialogueLog {
public:
    DialogueLog() = default;
    ~DialogueLog();
    DialogueLog(const DialogueLog&) = delete;
    DialogueLog& operator=(const DialogueLog&) = delete;

    bool open(const std::string& path);
    bool isOpen() const { return file_.isOpen(); }

    // Consecutive bytes one way at one speed make one line; a long stream
    // shows its first bytes and how many followed.
    void byte(std::uint64_t timeUs, Direction direction, std::uint32_t baud, std::uint8_t value, bool garbled);
    void note(std::uint64_t timeUs, const std::string& text);
    void flush();

private:
    trace::TraceFile file_;
    bool running_ = false;
    std::uint64_t runStartUs_ = 0;
    std::uint64_t runLastUs_ = 0;
    Direction direction_ = Direction::PcToBox;
    std::uint32_t baud_ = 0;
    bool garbled_ = false;
    std::string shown_;
    std::uint64_t count_ = 0;
};

}  // namespace boxsim
