// What the program printed and how it ended, as a trace recorded them and as
// a replayed run showed them: the replay's summary names the first place
// where the two part.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "trace/trace_reader.h"

namespace boxsim {

struct Console {
    std::string out;  // standard output, byte for byte
    std::string err;  // standard error
};

struct RecordedRun {
    std::optional<Console> console;  // none: the trace holds no console (an older program)
    std::string ending;              // as the trace ends: "exit 1", "signal SIGINT"
};

struct SeenRun {
    Console console;
    std::string ending;  // in the trace's words (endingText)
};

// The console notes and the last line of a parsed trace.
RecordedRun recordedRun(const std::vector<trace::Record>& records, bool consoleRecorded);

// How a process ended, in the words the trace uses for it.
std::string endingText(int exitCode, int signal);

// Where one stream's text parts from the recording: which stream, from which
// byte, the recorded text and the text seen from a little before there on.
std::optional<std::string> streamDifference(std::string_view stream, std::string_view recorded,
                                            std::string_view seen);

struct RunVerdict {
    std::string text;     // for the summary: what was compared and how it came out
    bool differs = false;
};

// `seen` empty: no program was started by the replay, nothing to compare.
RunVerdict compareRun(const RecordedRun& recorded, const std::optional<SeenRun>& seen);

}  // namespace boxsim
