#include "trace_run.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>

#include "control/driver.h"
#include "replay_console.h"
#include "replay_peer.h"
#include "simplatform/sim_platform.h"
#include "support/image_bytes.h"
#include "support/payload.h"
#include "support/temp_directory.h"
#include "trace/trace_format.h"
#include "trace/trace_reader.h"

namespace traceruns {

namespace {

namespace fs = std::filesystem;
using trace::Record;
using trace::RecordKind;

constexpr std::string_view kCommandPrefix = "# command: ";
constexpr std::string_view kProgramPrefix = "# program: ";

std::string readWhole(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

std::optional<std::string_view> headerLine(std::string_view text, std::string_view prefix) {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line = text.substr(at, end - at);
        if (line.empty() || line.front() != '#') break;
        if (line.substr(0, prefix.size()) == prefix) return line.substr(prefix.size());
        at = end + 1;
    }
    return std::nullopt;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string shown(const std::string& bytes) {
    std::string out;
    trace::appendQuoted(out, bytes.size() > 60 ? bytes.substr(0, 60) : bytes);
    return bytes.size() > 60 ? out + "..." : out;
}

// The program's arguments without the trace options: the replayed run writes no trace.
std::vector<std::string> withoutTraceOptions(const std::vector<std::string>& arguments) {
    std::vector<std::string> kept;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--trace") {
            ++i;
            continue;
        }
        if (argument.rfind("--trace=", 0) == 0 || argument == "--trace-full") continue;
        kept.push_back(argument);
    }
    return kept;
}

struct ReadGroup {
    std::uint64_t writtenBefore;
    std::string bytes;
    std::size_t lineNumber;  // of the recording; 0 for the program's reads
};

std::vector<ReadGroup> recordedReads(const boxsim::ReplayPeer& peer) {
    std::vector<ReadGroup> groups;
    const auto& records = peer.records();
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (records[i].kind != RecordKind::BoxBytes) continue;
        if (groups.empty() || groups.back().writtenBefore != peer.writtenBefore(i))
            groups.push_back({peer.writtenBefore(i), {}, records[i].lineNumber});
        groups.back().bytes += records[i].bytes;
    }
    return groups;
}

std::vector<ReadGroup> programReads() {
    std::vector<ReadGroup> groups;
    for (const auto& run : simline::reads())
        groups.push_back({run.writtenBefore, std::string(run.bytes.begin(), run.bytes.end()), 0});
    return groups;
}

// The first read that differs from the recording: its bytes or its place in
// what the program had written.
std::optional<std::string> readDifference(const std::vector<ReadGroup>& recorded, const std::vector<ReadGroup>& seen) {
    for (std::size_t i = 0; i < std::max(recorded.size(), seen.size()); ++i) {
        if (i >= seen.size())
            return "line " + std::to_string(recorded[i].lineNumber) + ": the program never read " +
                   shown(recorded[i].bytes) + " (after " + std::to_string(recorded[i].writtenBefore) +
                   " bytes written)";
        if (i >= recorded.size())
            return "the program read " + shown(seen[i].bytes) + " after " + std::to_string(seen[i].writtenBefore) +
                   " bytes written, after the recording's last reply";
        if (recorded[i].bytes != seen[i].bytes || recorded[i].writtenBefore != seen[i].writtenBefore)
            return "line " + std::to_string(recorded[i].lineNumber) + ": the program read " + shown(seen[i].bytes) +
                   " after " + std::to_string(seen[i].writtenBefore) + " bytes written where the recording has " +
                   shown(recorded[i].bytes) + " after " + std::to_string(recorded[i].writtenBefore);
    }
    return std::nullopt;
}

// NAME.image beside a trace is the recipe of the image the program was given
// as image.pad: "payload N seed S type T id I" ("-": not in the header).
std::optional<test_support::Bytes> imageOfRecipe(const std::string& recipe) {
    std::istringstream words(recipe);
    std::string payloadWord, seedWord, typeWord, idWord, type, id;
    std::size_t size = 0;
    std::uint32_t seed = 0;
    if (!(words >> payloadWord >> size >> seedWord >> seed >> typeWord >> type >> idWord >> id) ||
        payloadWord != "payload" || seedWord != "seed" || typeWord != "type" || idWord != "id")
        return std::nullopt;
    test_support::Bytes extension;
    if (type != "-") {
        const auto imageType = static_cast<std::uint8_t>(std::stoul(type));
        extension = id != "-" ? test_support::typeAndId(imageType, static_cast<std::uint32_t>(std::stoul(id, nullptr, 16)))
                              : test_support::Bytes{imageType};
    }
    return test_support::paddedImage(test_support::samplePayload(size, seed), extension);
}

struct InDirectory {
    explicit InDirectory(const fs::path& directory) : before(fs::current_path()) { fs::current_path(directory); }
    ~InDirectory() { fs::current_path(before); }
    fs::path before;
};

}  // namespace

std::string Verdict::text() const {
    std::string text = summary + "\n";
    for (const std::string& difference : differences) text += "  differs: " + difference + "\n";
    text += "  exit code " + std::to_string(exitCode) + "; standard output:\n" + out + "\n  standard error:\n" + err;
    return text;
}

std::vector<std::string> recordedCommand(const std::string& traceText) {
    std::vector<std::string> arguments;
    const auto line = headerLine(traceText, kCommandPrefix);
    if (!line) return arguments;
    std::string_view rest = *line;
    while (!rest.empty()) {
        while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
        if (rest.empty() || rest.front() != '"') break;
        std::string argument;
        std::size_t at = 1;
        for (; at < rest.size() && rest[at] != '"'; ++at) {
            if (rest[at] != '\\' || at + 1 >= rest.size()) {
                argument += rest[at];
                continue;
            }
            const char escaped = rest[++at];
            if (escaped == 'x' && at + 2 < rest.size() && hexDigit(rest[at + 1]) >= 0 && hexDigit(rest[at + 2]) >= 0) {
                argument += static_cast<char>(hexDigit(rest[at + 1]) * 16 + hexDigit(rest[at + 2]));
                at += 2;
            } else {
                argument += escaped == 'r' ? '\r' : escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped;
            }
        }
        arguments.push_back(argument);
        rest.remove_prefix(std::min(at + 1, rest.size()));
    }
    return arguments;
}

Verdict replayInProcess(const fs::path& tracePath) {
    Verdict verdict;
    const std::string text = readWhole(tracePath);
    // A trace of another version of the program replays where its dialogue is the same.
    const auto program = headerLine(text, kProgramPrefix);
    trace::ParsedTrace parsed = trace::readTrace(text, program ? *program : trace::kProgramLine);
    if (parsed.problem) {
        verdict.differences.push_back("line " + std::to_string(parsed.problem->lineNumber) + ": " +
                                      parsed.problem->what);
        return verdict;
    }
    std::vector<std::string> arguments = recordedCommand(text);
    if (arguments.empty()) {
        verdict.differences.push_back("the trace holds no command line");
        return verdict;
    }
    arguments = withoutTraceOptions(arguments);
    arguments.front() = "update";

    const fs::path directory = test_support::makeTempDirectory("trace_replay_");
    for (const std::string& argument : arguments) {
        const fs::path beside = tracePath.parent_path() / argument;
        std::error_code ignored;
        if (!argument.empty() && argument.front() != '-' && fs::path(argument).is_relative() &&
            fs::is_regular_file(beside, ignored))
            fs::copy_file(beside, directory / argument, ignored);
    }

    unsetenv("UPDATE_TRACE");  // the replayed run writes no trace
    fs::path recipe = tracePath;
    recipe.replace_extension(".image");
    if (fs::exists(recipe)) {
        const auto image = imageOfRecipe(readWhole(recipe));
        if (!image) {
            verdict.differences.push_back(recipe.filename().string() + ": not an image recipe");
            return verdict;
        }
        std::ofstream(directory / "image.pad", std::ios::binary)
            .write(reinterpret_cast<const char*>(image->data()), static_cast<std::streamsize>(image->size()));
    }
    const Record last = parsed.records.back();
    boxsim::ReplayPeer peer(std::move(parsed.records));
    simline::install(peer);
    {
        InDirectory inside(directory);
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        verdict.exitCode = runUpdate(static_cast<int>(arguments.size()), argv.data());
        std::fflush(stdout);
        std::fflush(stderr);
        verdict.out = testing::internal::GetCapturedStdout();
        verdict.err = testing::internal::GetCapturedStderr();
    }

    if (const auto& departure = peer.departure())
        verdict.differences.push_back("line " + std::to_string(departure->lineNumber) + ": " + departure->what);
    else if (!peer.finished())
        verdict.differences.push_back("line " + std::to_string(peer.waitingAt()->lineNumber) +
                                      ": the program's run ended where the recording goes on");
    if (peer.imageDiffersAt())
        verdict.differences.push_back("line " + std::to_string(*peer.imageDiffersAt()) +
                                      ": the image data differ from the recording from here on");
    if (const auto difference = readDifference(recordedReads(peer), programReads()))
        verdict.differences.push_back(*difference);
    // What it printed, byte for byte, where the trace recorded the console.
    const boxsim::RecordedRun recorded = boxsim::recordedRun(peer.records(), parsed.consoleRecorded);
    if (recorded.console) {
        auto difference = boxsim::streamDifference("standard output", recorded.console->out, verdict.out);
        if (!difference) difference = boxsim::streamDifference("standard error", recorded.console->err, verdict.err);
        if (difference) verdict.differences.push_back(*difference);
    }
    if (last.kind == RecordKind::Signal)
        verdict.differences.push_back("line " + std::to_string(last.lineNumber) +
                                      ": the recorded run ended by a signal, which an in-process run cannot get");
    else if (last.detail != "exit " + std::to_string(verdict.exitCode))
        verdict.differences.push_back("line " + std::to_string(last.lineNumber) + ": the program ended with exit " +
                                      std::to_string(verdict.exitCode) + " where the recording has " + last.detail);

    verdict.summary = tracePath.filename().string() + ": " + std::to_string(peer.steps()) + " steps, image data " +
                      std::to_string(peer.imageBytes()) + " bytes in " + std::to_string(peer.imagePieces()) +
                      " pieces, " + std::to_string(simline::reads().size()) + " reads" +
                      (recorded.console ? ", output compared" : ", no console recorded");
    simline::uninstall();
    std::error_code ignored;
    fs::remove_all(directory, ignored);
    return verdict;
}

}  // namespace traceruns
