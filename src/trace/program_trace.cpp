#include "trace/program_trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/line_observer.h"
#include "platform/signal_flush.h"
#include "trace/console_capture.h"
#include "trace/trace_file.h"
#include "trace/trace_format.h"

namespace trace {

namespace {

// Writes longer than this are image data: shown as length and digest. Every
// keyword, key, echo and announcement the program sends is shorter.
constexpr std::uint32_t kBulkBytes = 64;
// The program reads the box's replies a byte per call; reads this close
// together, with nothing else between them, share a line.
constexpr std::uint64_t kReadRunGapUs = 2000;
constexpr std::size_t kLongestReadRun = 1024;

struct Recorder {
    TraceFile file;
    bool full = false;
    std::uint64_t startUs = 0;
    std::uint32_t baud = 0;
    std::string line;  // reused: no allocation per event once grown
    std::string runLine;
    std::size_t readRunBytes = 0;  // bytes read lately, in the line still open
    const char* path = nullptr;
    bool toldIncomplete = false;
    std::uint64_t readRunStartUs = 0;
    std::uint64_t readRunLastUs = 0;
    std::uint32_t readRunBaud = 0;
};

Recorder* recorder = nullptr;

std::uint64_t sinceStart() { return platform::monotonicUs() - recorder->startUs; }

// The bytes of a read run are on disk as they come: its line stays open
// until the run ends, and a run cut short by the program's death ends in the
// middle of its quoted bytes, which tells that it was.
constexpr std::string_view kRunClosing = "\"\n";

void endReadRun() {
    if (recorder->readRunBytes == 0) return;
    recorder->readRunBytes = 0;
    recorder->file.closeOpenLine();
}

// Once, when the file stops taking the trace: the run goes on without it.
void reportIfIncomplete() {
    const TraceFile& file = recorder->file;
    if (recorder->toldIncomplete || (file.failure() == 0 && !file.removed())) return;
    recorder->toldIncomplete = true;
    if (file.failure() != 0) {
        std::fprintf(stderr, "The trace file %s is incomplete: writing it failed (Error: %u); the update goes on.\n",
                     recorder->path, static_cast<unsigned>(file.failure()));
    } else {
        std::fprintf(stderr, "The trace file %s was removed while it was written; the update goes on without it.\n",
                     recorder->path);
    }
}

// Writes the line made in `line`; a read run before it must have ended.
void emit() {
    recorder->file.append(recorder->line);
    recorder->line.clear();
    reportIfIncomplete();
}

void event(const char* name, const std::string& detail) {
    const std::uint64_t us = sinceStart();
    endReadRun();
    appendEventLine(recorder->line, us, name, detail);
    emit();
}

// A failed call on the line: a hang-up says so, anything else gives its code.
void failure(std::uint32_t error) {
#if defined(_WIN32)
    constexpr std::uint32_t kHungUp = 995;
#else
    constexpr std::uint32_t kHungUp = 5;  // EIO
#endif
    if (error == kHungUp) {
        event("hangup", "");
    } else {
        event("error", std::to_string(error));
    }
}

void onOpened(const char* device, bool ok, std::uint32_t error) {
    std::string detail;
    appendQuoted(detail, device);
    if (!ok) detail += " failed, error " + std::to_string(error);
    event("open", detail);
}

void onConfigured(std::uint32_t baud, bool hardwareHandshake, bool ok, std::uint32_t error) {
    if (ok) recorder->baud = baud;
    event("line", std::to_string(baud) + (hardwareHandshake ? " handshake on" : " handshake off") +
                      (ok ? "" : " failed"));
    if (!ok) failure(error);
}

void onSpeedChanged(std::uint32_t baud, bool ok, std::uint32_t error) {
    if (ok) recorder->baud = baud;
    event("speed", std::to_string(baud) + (ok ? "" : " failed"));
    if (!ok) failure(error);
}

void onSpeedUnreadable(std::uint32_t error) { failure(error); }

void bytes(Direction direction, const void* data, std::uint32_t size) {
    if (size == 0) return;
    const std::uint64_t us = sinceStart();
    endReadRun();
    if (direction == Direction::PcToBox && size > kBulkBytes && !recorder->full) {
        appendBulkLine(recorder->line, us, direction, recorder->baud, size, digestOf(data, size));
    } else {
        appendBytesLine(recorder->line, us, direction, recorder->baud,
                        std::string_view(static_cast<const char*>(data), size), size, false);
    }
    emit();
}

void onRead(const void* data, std::uint32_t size, bool ok, std::uint32_t error) {
    if (size > 0) {
        const std::uint64_t us = sinceStart();
        if (recorder->readRunBytes != 0 &&
            (us > recorder->readRunLastUs + kReadRunGapUs || recorder->baud != recorder->readRunBaud))
            endReadRun();
        if (recorder->readRunBytes == 0) {
            recorder->readRunStartUs = us;
            recorder->readRunBaud = recorder->baud;
        }
        recorder->readRunLastUs = us;
        const std::string_view bytes(static_cast<const char*>(data), size);
        if (recorder->readRunBytes == 0) {
            appendBytesLine(recorder->runLine, recorder->readRunStartUs, Direction::BoxToPc, recorder->readRunBaud,
                            bytes, size, false);
            recorder->runLine.resize(recorder->runLine.size() - kRunClosing.size());
        } else {
            for (const char byte : bytes) appendEscaped(recorder->runLine, static_cast<std::uint8_t>(byte));
        }
        recorder->readRunBytes += size;
        recorder->file.appendOpen(recorder->runLine, kRunClosing);
        recorder->runLine.clear();
        reportIfIncomplete();
        if (recorder->readRunBytes >= kLongestReadRun) endReadRun();
    }
    if (!ok) failure(error);
}

void onWritten(const void* data, std::uint32_t size, bool ok, std::uint32_t error) {
    bytes(Direction::PcToBox, data, size);
    if (!ok) failure(error);
}

void onClosed() { event("close", ""); }

constexpr platform::LineObserver kObserver{onOpened, onConfigured, onSpeedChanged, onSpeedUnreadable,
                                           onRead,   onWritten,    onClosed};

void note(const char* stream, const char* text, std::size_t size) {
    if (recorder == nullptr || size == 0) return;
    const std::uint64_t us = sinceStart();
    endReadRun();
    std::string quoted = stream;
    quoted += ' ';
    appendQuoted(quoted, std::string_view(text, size));
    appendNoteLine(recorder->line, us, quoted);
    emit();
}

// The wall clock's date and time when the run began, with its offset from UTC.
std::string startedText() {
    const std::time_t now = std::time(nullptr);
    char text[64] = "unknown";
    if (const std::tm* local = std::localtime(&now)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", local);
    return text;
}

std::string commandLineText(int argc, char** argv) {
    std::string text;
    for (int i = 0; i < argc; ++i) {
        if (i > 0) text += ' ';
        appendQuoted(text, argv[i]);
    }
    return text;
}

bool fileSizeOf(const char* path, std::uint64_t& size) {
    const platform::FileHandle file = platform::openFileForReading(path);
    if (file == platform::kInvalidFile) return false;
    const bool ok = platform::fileSize(file, size);
    platform::closeFile(file);
    return ok;
}

}  // namespace

TraceRequest traceRequest(const char* optionPath, bool optionFull) {
    TraceRequest request;
    const char* fromEnvironment = std::getenv("UPDATE_TRACE");
    request.path = optionPath != nullptr ? optionPath
                   : (fromEnvironment != nullptr && fromEnvironment[0] != '\0') ? fromEnvironment
                                                                                : nullptr;
    const char* fullFromEnvironment = std::getenv("UPDATE_TRACE_FULL");
    request.full = optionFull || (fullFromEnvironment != nullptr && std::strcmp(fullFromEnvironment, "1") == 0);
    return request;
}

bool startTrace(const TraceRequest& request, int argc, char** argv) {
    if (request.path == nullptr || recorder != nullptr) return true;
    static Recorder theRecorder;
    recorder = &theRecorder;
    recorder->full = request.full;
    recorder->startUs = platform::monotonicUs();
    recorder->line.reserve(4096);
    recorder->runLine.reserve(4096);
    if (!recorder->file.open(request.path, recorder->startUs)) {
        recorder = nullptr;
        return false;
    }
    recorder->path = request.path;
    recorder->toldIncomplete = false;
    const bool consoleWatched = watchConsole(note);
    std::string header = std::string(kFormatLine) + "\n# program: " + kProgramLine + "\n# started: " +
                         startedText() + "\n# command: " + commandLineText(argc, argv) + "\n# image data: " +
                         (request.full ? "in full" : "length and digest") + "\n";
    if (consoleWatched) header += std::string(kConsoleLine) + "\n";
    header += std::string(kColumnsLine) + "\n";
    recorder->file.append(header);
    reportIfIncomplete();
    recorder->file.flushOnSignal();
    platform::observeLine(&kObserver);
    return true;
}

void traceImage(const char* name, std::uint32_t size, std::uint8_t type, std::uint32_t id) {
    if (recorder == nullptr) return;
    std::string detail;
    appendQuoted(detail, name != nullptr ? name : "");
    // The length the image gives beside the size of its file: a file longer
    // than its length says carries bytes the box never gets.
    detail += " length " + std::to_string(size) + " bytes";
    std::uint64_t fileBytes = 0;
    detail += name != nullptr && fileSizeOf(name, fileBytes) ? ", file " + std::to_string(fileBytes) + " bytes"
                                                               : std::string(", file size unknown");
    char text[64];
    std::snprintf(text, sizeof text, ", type %u, id 0x%08lX", static_cast<unsigned>(type),
                  static_cast<unsigned long>(id));
    detail += text;
    event("image", detail);
}

void traceNote(const char* text) {
    if (text != nullptr) note("note", text, std::strlen(text));
}

void finishTrace(int exitCode) {
    if (recorder == nullptr) return;
    unwatchConsole();
    platform::observeLine(nullptr);
    event("end", "exit " + std::to_string(exitCode));
    // The close looks once more whether the file still has its name.
    recorder->file.close();
    reportIfIncomplete();
    recorder = nullptr;
}

}  // namespace trace
