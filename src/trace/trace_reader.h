// Reading a trace back: every line checked, the first fault named with its
// line number. The emulator's replay plays the box from what this returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trace {

enum class RecordKind {
    PcBytes,   // bytes the program wrote, shown in full
    PcBulk,    // image data the program wrote: length and digest
    BoxBytes,  // bytes the program read
    Open,
    Line,
    Speed,
    Close,
    HangUp,
    Error,
    Image,
    Note,
    Signal,  // the run ended by a signal
    End,     // the run ended by itself
};

struct Record {
    std::size_t lineNumber = 0;
    RecordKind kind = RecordKind::Note;
    std::uint64_t us = 0;
    std::uint32_t baud = 0;      // the bytes' speed
    std::string bytes;           // PcBytes, BoxBytes
    std::uint64_t size = 0;      // PcBulk
    std::uint64_t digest = 0;    // PcBulk
    std::string detail;          // everything after the event's name
};

struct TraceProblem {
    std::size_t lineNumber = 0;
    std::string what;
};

struct ParsedTrace {
    std::string program;  // "update 1.39"
    std::vector<Record> records;
    // The header says the program's console is in the notes ("stdout" and
    // "stderr"); a trace of an older program holds none.
    bool consoleRecorded = false;
    std::optional<TraceProblem> problem;  // set: the records are not to be used
};

// `expectedProgram`: the program line this reader belongs to (kProgramLine).
ParsedTrace readTrace(std::string_view text, std::string_view expectedProgram);

// The bytes of the quoted text at the start of `rest` (as appendQuoted wrote
// it), which is left after the closing quote; nullopt when the quoting is broken.
std::optional<std::string> takeQuoted(std::string_view& rest);

}  // namespace trace
