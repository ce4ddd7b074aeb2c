#include "replay_console.h"

#include <signal.h>

#include <algorithm>

#include "trace/trace_format.h"

namespace boxsim {

namespace {

constexpr std::size_t kShown = 40;     // bytes of each side in a difference
constexpr std::size_t kLookBack = 30;  // at most this far back to where the line, or the progress shown, began
constexpr const char* kNoConsole = "output not compared (the trace holds no console: an older program)";

std::string shown(std::string_view text, std::size_t from) {
    if (from >= text.size()) return "nothing";
    const std::string_view part = text.substr(from, kShown);
    std::string out;
    trace::appendQuoted(out, part);
    if (text.size() - from > kShown) out += "...";
    return out;
}

}  // namespace

RecordedRun recordedRun(const std::vector<trace::Record>& records, bool consoleRecorded) {
    RecordedRun run;
    Console console;
    bool readable = consoleRecorded;
    for (const trace::Record& record : records) {
        if (record.kind == trace::RecordKind::End) run.ending = record.detail;
        if (record.kind == trace::RecordKind::Signal) run.ending = "signal " + record.detail;
        if (record.kind != trace::RecordKind::Note || !readable) continue;
        std::string_view rest = record.detail;
        std::string* stream = nullptr;
        if (rest.starts_with("stdout ")) stream = &console.out;
        if (rest.starts_with("stderr ")) stream = &console.err;
        if (stream == nullptr) continue;
        rest.remove_prefix(7);
        const auto bytes = trace::takeQuoted(rest);
        // A note that cannot be read back leaves the console unknown, not shorter.
        if (!bytes || !rest.empty()) {
            readable = false;
            continue;
        }
        *stream += *bytes;
    }
    if (readable) run.console = std::move(console);
    return run;
}

std::string endingText(int exitCode, int signal) {
    switch (signal) {
        case 0: return "exit " + std::to_string(exitCode);
        case SIGINT: return "signal SIGINT";
        case SIGTERM: return "signal SIGTERM";
        case SIGHUP: return "signal SIGHUP";
        default: return "signal " + std::to_string(signal);
    }
}

std::optional<std::string> streamDifference(std::string_view stream, std::string_view recorded,
                                            std::string_view seen) {
    if (recorded == seen) return std::nullopt;
    const std::size_t alike = static_cast<std::size_t>(
        std::mismatch(recorded.begin(), recorded.end(), seen.begin(), seen.end()).first - recorded.begin());
    std::size_t from = alike;
    // Progress is rewritten in place after backspaces: they begin its text as a line end does.
    while (from > 0 && alike - from < kLookBack && recorded[from - 1] != '\n' && recorded[from - 1] != '\b') --from;
    return "the program's " + std::string(stream) + " departs from the recording after " + std::to_string(alike) +
           " bytes alike: recorded " + shown(recorded, from) + ", seen " + shown(seen, from);
}

RunVerdict compareRun(const RecordedRun& recorded, const std::optional<SeenRun>& seen) {
    if (!seen) return {"output and exit code not compared (the program was not started by the replay)", false};
    std::optional<std::string> difference;
    if (recorded.console) {
        difference = streamDifference("standard output", recorded.console->out, seen->console.out);
        if (!difference) difference = streamDifference("standard error", recorded.console->err, seen->console.err);
    }
    if (!difference && seen->ending != recorded.ending)
        difference = "the program ended with " + seen->ending + " where the recording has " + recorded.ending;
    if (difference) return {recorded.console ? *difference : *difference + "; " + kNoConsole, true};
    if (!recorded.console) return {std::string("exit code as recorded; ") + kNoConsole, false};
    return {"output and exit code as recorded", false};
}

}  // namespace boxsim
