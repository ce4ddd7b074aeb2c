// The bench: one process of this program per port, each the same code as a
// run on one port, watched through what it prints. A process that fails,
// hangs or crashes ends its own port only; Ctrl-C reaches them all, and each
// puts its line back as it ends.
#include "control/bench.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "control/bench_state.h"
#include "control/box_record.h"
#include "control/port_list.h"
#include "image/image_check.h"
#include "platform/child_process.h"
#include "platform/platform.h"
#include "platform/serial_ports.h"

namespace {

// The table is redrawn at most this often, and once a second for the clock.
constexpr std::uint32_t kRedrawGapMs = 100;
constexpr std::uint32_t kClockRedrawMs = 1000;
// A process asked to stop that has not ended after this is ended hard.
constexpr std::uint32_t kStopGraceMs = 5000;

// Told to the process serving a port in unattended mode: "first" waits for a
// box, "after" first for the one just served to leave the bench.
constexpr const char* kNextBoxVariable = "UPDATE_NEXT_BOX";

struct Port {
    PortState state;
    std::string device;  // what --port gets
    platform::ChildHandle child = nullptr;
    OutputReader reader;
    bool boxOpen = false;  // a box is counted on this port and has no record yet
    bool boxReached = false;
    bool satellite = false;
    std::string endReason;  // set by the bench: time-out, stop
    std::uint32_t stopSentMs = 0;
    bool stopSent = false;
    bool hardStopSent = false;
    int lastPercentEvent = -1;
    unsigned children = 0;
};

struct Bench {
    const CommandOptions* options = nullptr;
    std::vector<Port> ports;
    bool multi = false;        // --ports: the table or the event lines
    bool terminal = false;     // the table is redrawn in place
    bool unattended = false;   // -l with --ports: box after box, no key press
    platform::AppendHandle report = nullptr;
    std::string image;
    std::optional<std::uint64_t> imageBytes;
    std::string imageSha256;
    std::string program;
    std::vector<std::string> baseArguments;  // everything but the bench's own options
    std::size_t imageArgument = 0;           // where --port goes in
    bool anyFailure = false;
    int lastExitCode = 0;  // of the last process to end: a run on one port ends with it
    bool reportFailed = false;
    std::uint32_t lastDrawMs = 0;
    std::size_t drawnLines = 0;
    bool dirty = true;
};

std::uint32_t since(std::uint32_t startMs) { return platform::millis() - startMs; }

bool takesValue(const char* argument) {
    static constexpr const char* kWithValue[] = {"-p", "--port", "--trace", "--ports", "--report", "--box-timeout"};
    for (const char* name : kWithValue) {
        if (std::strcmp(argument, name) == 0) return true;
    }
    return argument[0] == '-' && argument[1] == 'p' && argument[2] != '\0' && argument[1] != '-';
}

bool isBenchOption(const char* argument) {
    for (const char* name : {"--ports", "--report", "--box-timeout"}) {
        const std::size_t length = std::strlen(name);
        if (std::strncmp(argument, name, length) == 0 && (argument[length] == '\0' || argument[length] == '=')) {
            return true;
        }
    }
    return false;
}

// The arguments every port's process gets: the user's, without the bench's
// own options (and without -l when the bench runs box after box itself).
void collectArguments(Bench& bench, int argc, char** argv) {
    bench.baseArguments.push_back(platform::ownProgramPath(argv[0]));
    int i = 1;
    for (; i < argc; ++i) {
        const char* argument = argv[i];
        if (argument[0] != '-') break;
        const bool withValue = takesValue(argument);
        if (isBenchOption(argument)) {
            if (withValue && std::strchr(argument, '=') == nullptr) ++i;
            continue;
        }
        if (bench.unattended && argument[1] == 'l') continue;
        bench.baseArguments.push_back(argument);
        if (withValue && i + 1 < argc) bench.baseArguments.push_back(argv[++i]);
    }
    bench.imageArgument = bench.baseArguments.size();
    for (; i < argc; ++i) bench.baseArguments.push_back(argv[i]);
}

std::vector<std::string> argumentsFor(const Bench& bench, const Port& port) {
    std::vector<std::string> arguments(bench.baseArguments.begin(),
                                       bench.baseArguments.begin() + static_cast<long>(bench.imageArgument));
    if (bench.multi) {
        // One trace per port: each process writes its own.
        for (std::size_t i = 1; i + 1 < arguments.size(); ++i) {
            if (arguments[i] == "--trace") arguments[i + 1] += "." + port.state.shortName;
        }
        for (std::string& argument : arguments) {
            if (argument.rfind("--trace=", 0) == 0) argument += "." + port.state.shortName;
        }
    }
    if (!bench.options->portLists.empty()) {
        arguments.push_back("--port");
        arguments.push_back(port.device);
    }
    arguments.insert(arguments.end(), bench.baseArguments.begin() + static_cast<long>(bench.imageArgument),
                     bench.baseArguments.end());
    return arguments;
}

void printLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

void event(const Bench& bench, const Port& port, const char* name, const std::string& detail = {}) {
    if (bench.multi && !bench.terminal) printLine(eventLine(port.state, name, detail));
}

void draw(Bench& bench, bool force) {
    if (!bench.terminal) return;
    const std::uint32_t now = platform::millis();
    if (!force && (!bench.dirty || now - bench.lastDrawMs < kRedrawGapMs) && now - bench.lastDrawMs < kClockRedrawMs) {
        return;
    }
    std::vector<PortState> states;
    for (const Port& port : bench.ports) states.push_back(port.state);
    const std::vector<std::string> lines = tableLines(states, now, bench.unattended);
    const unsigned columns = platform::terminalColumns();
    std::string screen;
    if (bench.drawnLines > 0) screen += "\x1b[" + std::to_string(bench.drawnLines) + "A";
    for (const std::string& line : lines) {
        screen += "\r\x1b[K";
        screen += columns > 1 && line.size() >= columns ? line.substr(0, columns - 1) : line;
        screen += "\n";
    }
    std::fwrite(screen.data(), 1, screen.size(), stdout);
    std::fflush(stdout);
    bench.drawnLines = lines.size();
    bench.lastDrawMs = now;
    bench.dirty = false;
}

void writeRecord(Bench& bench, const Port& port) {
    if (bench.report == nullptr) return;
    BoxRecord record;
    record.endTime = std::time(nullptr);
    record.port = port.state.name;
    record.portId = port.state.portId;
    record.bootloader = port.state.bootloader;
    record.image = bench.image;
    record.imageBytes = bench.imageBytes;
    record.imageSha256 = bench.imageSha256;
    record.result = port.state.result;
    record.seconds = (port.state.endMs - port.state.startMs) / 1000.0;
    record.message = port.state.result == "failed" ? port.state.message : std::string();
    record.program = bench.program;
    if (!platform::appendDurably(bench.report, boxRecordLine(record)) && !bench.reportFailed) {
        bench.reportFailed = true;
        std::fprintf(stderr, "Cannot write to the report file (Error: %u).\n",
                     static_cast<unsigned>(platform::lastError()));
    }
}

void beginBox(Bench& bench, Port& port) {
    port.boxOpen = true;
    port.boxReached = false;
    port.satellite = false;
    port.endReason.clear();
    port.reader.forgetErrors();
    port.state.phase = PortPhase::Waiting;
    port.state.bootloader.clear();
    port.state.percent = -1;
    port.state.startMs = platform::millis();
    port.lastPercentEvent = -1;
    bench.dirty = true;
    event(bench, port, "waiting");
}

void endBox(Bench& bench, Port& port, const char* result, const std::string& message) {
    if (!port.boxOpen) return;
    port.boxOpen = false;
    port.state.result = result;
    port.state.endMs = platform::millis();
    const bool good = std::strcmp(result, "failed") != 0;
    port.state.phase = good ? PortPhase::Done : PortPhase::Failed;
    if (good) {
        ++port.state.flashed;
    } else {
        ++port.state.failed;
        port.state.message = message;
        bench.anyFailure = true;
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", (port.state.endMs - port.state.startMs) / 1000.0);
    event(bench, port, result, good ? std::string(seconds) : message);
    writeRecord(bench, port);
    bench.dirty = true;
}

void takeNote(Bench& bench, Port& port, const OutputNote& note) {
    if (note.event == OutputEvent::NextBox) {
        beginBox(bench, port);
        return;
    }
    if (!port.boxOpen) return;
    if (note.event == OutputEvent::Flashed) {
        endBox(bench, port, "flashed", {});
        return;
    }
    if (note.event == OutputEvent::Satellite) {
        port.satellite = true;
        return;
    }
    if (note.event == OutputEvent::Version) {
        port.boxReached = true;
        // Waiting for a box takes as long as it takes; the box's own time starts here.
        if (bench.unattended) port.state.startMs = platform::millis();
    }
    if (!applyNote(port.state, note)) return;
    bench.dirty = true;
    switch (note.event) {
        case OutputEvent::Version: event(bench, port, "bootloader", note.version); break;
        case OutputEvent::Percent:
            if (port.state.phase == PortPhase::Programming) {
                event(bench, port, "programming");
            } else if (port.state.percent / 10 != port.lastPercentEvent / 10 || port.lastPercentEvent < 0) {
                event(bench, port, "transfer", std::to_string(port.state.percent));
                port.lastPercentEvent = port.state.percent;
            }
            break;
        case OutputEvent::Programming: event(bench, port, "programming"); break;
        default: break;
    }
}

// Everything the process has written so far; with one port it also goes on to
// our own streams unchanged, so that the run reads as a plain one.
void readOutput(Bench& bench, Port& port) {
    char buffer[4096];
    for (;;) {
        bool outClosed = false;
        bool errClosed = false;
        const std::size_t out = platform::readChild(port.child, platform::ChildStream::Output, buffer, sizeof buffer,
                                                    outClosed);
        if (out > 0) {
            if (!bench.multi) std::fwrite(buffer, 1, out, stdout);
            for (const OutputNote& note : port.reader.addOutput(buffer, out)) takeNote(bench, port, note);
        }
        const std::size_t err = platform::readChild(port.child, platform::ChildStream::Error, buffer, sizeof buffer,
                                                    errClosed);
        if (err > 0) {
            if (!bench.multi) std::fwrite(buffer, 1, err, stderr);
            port.reader.addError(buffer, err);
        }
        if (out == 0 && err == 0) return;
    }
}

bool startProcess(Bench& bench, Port& port, const char* nextBox) {
    platform::ChildStart start;
    start.arguments = argumentsFor(bench, port);
    start.shareInput = !bench.multi;
    if (nextBox != nullptr) start.environment.emplace_back(kNextBoxVariable, nextBox);
    // Each port's process writes its own trace, or none.
    if (bench.multi) start.environment.emplace_back("UPDATE_TRACE", "");
    beginBox(bench, port);
    port.child = platform::startChild(start);
    port.stopSent = port.hardStopSent = false;
    ++port.children;
    if (port.child == nullptr) {
        endBox(bench, port, "failed",
               "Cannot start the process for this port (Error: " + std::to_string(platform::lastError()) + ").");
        port.state.ended = true;
        return false;
    }
    return true;
}

// Why a process ended without a message of its own.
std::string endText(const platform::ChildEnd& end) {
    if (end.signal != 0) return "The process serving this port ended by signal " + std::to_string(end.signal) + ".";
    return "The process serving this port ended with exit code " + std::to_string(end.exitCode) + ".";
}

// A port whose device will not open has nothing more to offer this run.
bool portIsGone(const std::string& message) {
    return message.rfind("Inititialization of COM-port failed", 0) == 0;
}

void processEnded(Bench& bench, Port& port, const platform::ChildEnd& end) {
    readOutput(bench, port);
    platform::releaseChild(port.child);
    port.child = nullptr;
    const bool succeeded = end.signal == 0 && end.exitCode == 0;
    bench.lastExitCode = end.signal != 0 ? 1 : end.exitCode;
    if (port.boxOpen) {
        if (!port.endReason.empty()) {
            if (bench.unattended && !port.boxReached && port.endReason == "Stopped by the user.") {
                port.boxOpen = false;  // nobody's box: the bench was waiting
            } else {
                endBox(bench, port, "failed", port.endReason);
            }
        } else if (succeeded && port.satellite) {
            endBox(bench, port, "satellite", {});
        } else if (succeeded) {
            port.boxOpen = false;  // loop mode ended by the user's "n": no box was served
        } else if (const std::string& said = port.reader.lastErrorLine();
                   bench.unattended && !port.boxReached && portIsGone(said)) {
            // No box was reached: the adapter is gone, not a box failed.
            port.boxOpen = false;
            port.state.endedBy = said;
            port.state.phase = PortPhase::Failed;
            bench.anyFailure = true;
        } else {
            endBox(bench, port, "failed", said.empty() || end.signal != 0 ? endText(end) : said);
        }
    }
    const bool again = bench.unattended && !platform::stopRequested() && port.state.endedBy.empty() &&
                       !portIsGone(port.reader.lastErrorLine());
    if (again && startProcess(bench, port, "after")) return;
    port.state.ended = true;
    if (bench.unattended) event(bench, port, "ended", port.state.endedBy);
    bench.dirty = true;
}

void enforceLimits(Bench& bench, Port& port) {
    if (port.child == nullptr) return;
    const double limit = bench.options->boxTimeoutS;
    if (limit > 0 && port.boxOpen && port.endReason.empty() && (!bench.unattended || port.boxReached) &&
        since(port.state.startMs) >= limit * 1000.0) {
        char text[96];
        std::snprintf(text, sizeof text, "No result within the box time-out of %g s.", limit);
        port.endReason = text;
        platform::stopChild(port.child, false);
        port.stopSent = true;
        port.stopSentMs = platform::millis();
    }
    if (platform::stopRequested() && !port.stopSent) {
        if (port.endReason.empty()) port.endReason = "Stopped by the user.";
        port.state.stoppedWhile = phaseName(port.state.phase);
        platform::stopChild(port.child, false);
        port.stopSent = true;
        port.stopSentMs = platform::millis();
    }
    if (port.stopSent && !port.hardStopSent && since(port.stopSentMs) >= kStopGraceMs) {
        platform::stopChild(port.child, true);
        port.hardStopSent = true;
    }
}

bool openReport(Bench& bench) {
    const char* path = bench.options->reportPath;
    if (path == nullptr) return true;
    bench.report = platform::openForAppending(path);
    if (bench.report != nullptr) return true;
    std::fprintf(stderr, "Cannot open the report file %s for appending (Error: %u).\n", path,
                 static_cast<unsigned>(platform::lastError()));
    return false;
}

// The image is read once here for its size and digest; with several ports it
// is also checked here, before any port opens.
bool studyImage(Bench& bench) {
    const CommandOptions& options = *bench.options;
    bench.image = options.imagePath != nullptr ? options.imagePath : "";
    if (options.satelliteMode) return true;
    if (bench.multi) {
        std::fputs("Checking file...", stdout);
        std::uint8_t type = 0;
        std::uint32_t id = 0;
        const std::uint32_t length =
            options.imagePath != nullptr ? checkImageFile(options.imagePath, type, id, options.irdetoMode ? 1 : 0) : 0;
        if (length == 0) {
            std::fputs(" failed! Abort\n", stdout);
            return false;
        }
        std::fputs(" OK!\n", stdout);
    }
    std::uint64_t bytes = 0;
    std::string digest;
    if (options.imagePath != nullptr && imageDigest(options.imagePath, bytes, digest)) {
        bench.imageBytes = bytes;
        bench.imageSha256 = digest;
    }
    return true;
}

bool choosePorts(Bench& bench) {
    const CommandOptions& options = *bench.options;
    std::vector<BenchPort> chosen;
    if (options.portLists.empty()) {
        const platform::PortName name = chosenPort(options);
        chosen.push_back({options.portDevice != nullptr ? options.portDevice : "COM" + name.shown, name.device});
    } else {
        PortSource source;
        source.usbAdapters = [] {
            std::vector<std::string> names;
            for (const platform::SerialPortInfo& port : platform::listSerialPorts(platform::systemRoots())) {
                if (port.usb && !port.systemConsole) names.push_back(port.name);
            }
            return names;
        };
        source.matchPattern = platform::matchPortPattern;
        source.canonical = platform::canonicalPortName;
        std::vector<std::string> lists(options.portLists.begin(), options.portLists.end());
        const PortListResult result = resolvePortLists(lists, source);
        if (!result.error.empty()) {
            std::fprintf(stderr, "%s\n", result.error.c_str());
            return false;
        }
        chosen = result.ports;
    }
    bench.multi = !options.portLists.empty() && chosen.size() > 1;
    bench.unattended = bench.multi && options.loopMode;
    const std::vector<std::string> shortNames = shortPortNames(chosen);
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        Port port;
        port.state.name = chosen[i].name;
        port.state.shortName = shortNames[i];
        port.device = options.portLists.empty() ? chosenPort(options).device : chosen[i].name;
        port.state.portId = platform::stablePortName(port.device, "/dev");
        if (options.portLists.empty() && options.portDevice == nullptr) port.state.portId = port.state.name;
        bench.ports.push_back(port);
    }
    return true;
}

}  // namespace

bool wantsBench(const CommandOptions& options) {
    return !options.portLists.empty() || options.reportPath != nullptr || options.boxTimeoutS > 0;
}

int runBench(int argc, char** argv, const CommandOptions& options) {
    Bench bench;
    bench.options = &options;
    bench.program = programVersionText();
    if (!choosePorts(bench)) return 1;
    collectArguments(bench, argc, argv);
    if (!openReport(bench)) return 1;
    if (!studyImage(bench)) {
        platform::closeAppendFile(bench.report);
        return 1;
    }
    bench.terminal = bench.multi && platform::standardOutputTakesCursorMoves();
    platform::catchStopRequests();

    for (Port& port : bench.ports) startProcess(bench, port, bench.unattended ? "first" : nullptr);
    draw(bench, true);
    for (;;) {
        std::vector<platform::ChildHandle> running;
        for (Port& port : bench.ports) {
            if (port.child == nullptr) continue;
            readOutput(bench, port);
            const platform::ChildEnd end = platform::childEnd(port.child);
            if (end.ended) {
                processEnded(bench, port, end);
                if (port.child == nullptr) continue;
            }
            enforceLimits(bench, port);
            running.push_back(port.child);
        }
        draw(bench, false);
        if (running.empty()) break;
        platform::waitForChildren(running, bench.terminal ? kRedrawGapMs : kClockRedrawMs);
    }
    draw(bench, true);

    if (bench.multi) {
        std::vector<PortState> states;
        for (const Port& port : bench.ports) states.push_back(port.state);
        for (const std::string& line : summaryLines(states, options.satelliteMode, platform::stopRequested())) printLine(line);
    }
    platform::closeAppendFile(bench.report);
    bool everyPortServed = true;
    for (const Port& port : bench.ports) everyPortServed = everyPortServed && (bench.unattended || port.state.flashed > 0);
    if (!bench.multi) return bench.reportFailed ? 1 : bench.lastExitCode;
    return bench.anyFailure || !everyPortServed || bench.reportFailed ? 1 : 0;
}
