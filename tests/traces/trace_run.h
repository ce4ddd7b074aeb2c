// One trace replayed against the program in-process, on the simulated line
// with the recorded box as its peer.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace traceruns {

struct Verdict {
    std::vector<std::string> differences;  // empty: the run came out as recorded
    std::string summary;                   // what was compared
    int exitCode = -1;
    std::string out;  // what the program printed
    std::string err;
    std::string text() const;
};

// The program runs in a fresh directory holding the files its command line
// names that lie beside the trace.
Verdict replayInProcess(const std::filesystem::path& tracePath);

// The arguments of the trace's "# command:" line; empty when it has none.
std::vector<std::string> recordedCommand(const std::string& traceText);

}  // namespace traceruns
