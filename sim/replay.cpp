#include "replay.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "platform/signal_flush.h"
#include "line_engine.h"
#include "pty_engine.h"
#include "pty_link.h"
#include "replay_console.h"
#include "replay_peer.h"
#include "replay_program.h"
#include "trace/trace_format.h"

namespace boxsim {

namespace {

using trace::Record;
using trace::RecordKind;

constexpr std::uint64_t kSpeedGraceUs = 500000;    // the program may still be switching its speed
// Image data left in the line ahead of the write a reply came during, where
// the program read nothing since its write before. The program's writes stop
// once the line is full, and this puts that point inside a write of 10 KiB: a
// Linux pseudo-terminal took 13.5 to 20.5 KiB of them before it was full. It
// is a good guess, not a certainty: the line's room cannot be read. What the
// guess missed the summary names.
constexpr std::uint64_t kLeftInLine = 12288;
// What the line discipline shows once it is full (Linux): with no room behind
// it either, the program waits in its write until boxsim reads.
constexpr int kLineDisciplineFull = 4095;
// Image data read at a time while the program finishes a write and reads the
// box's reply to it: the room this makes is far less than its next write.
constexpr std::uint64_t kTrickle = 1024;
// A write too short to fill the line cannot be held: once the program has
// written nothing for this long without filling the line, the reply goes.
constexpr std::uint64_t kWritesEndedUs = 200000;

// The recorded box (ReplayPeer) over the pseudo-terminal. The peer decides
// what the recording expects next, where a reply goes and where a hang-up
// cuts; the line engine runs its timers and carries its bytes across. This
// side reads what the program wrote, gives the box's bytes that have crossed
// to the pty engine's way to the program, holds the program inside a write
// for a reply or hang-up the box gave during it, and has the line dropped.
class Replay : public PtyEngine::Side, public simline::LineEngine::PcEnd {
public:
    Replay(const ReplayOptions& options, ReplayPeer& peer, PtyLink& link, PtyEngine& engine, RecordedRun recorded,
           ReplayedProgram* program)
        : options_(options), peer_(peer), link_(link), engine_(engine), recorded_(std::move(recorded)),
          program_(program),
          deadlineUs_(platform::monotonicUs() + static_cast<std::uint64_t>(options.timeoutS * 1e6)), line_(*this) {
        // A reply at another speed than the program listens at is its departure, not noise.
        engine_.output().holdAtOtherSpeed(true);
        line_.attach(&peer_, platform::monotonicUs());
    }

    Turn turn(std::uint64_t nowUs) override;
    int status() const override { return status_; }
    int stopped(bool bySignal, std::uint64_t nowUs) override;
    std::uint64_t wakeUs(std::uint64_t nowUs) const override;
    bool wantsInput(std::uint64_t) const override { return readLimit() > 0; }

    // --- simline::LineEngine::PcEnd: the program's stream is read by its
    // place in it (feed), and the peer told of it as it is read.
    std::optional<Start> nextByte(std::uint64_t, bool) override { return std::nullopt; }
    void arrived(const simline::FarEndTransmitter::Byte& byte) override { engine_.output().arrived(byte); }

private:
    void noteSpeed();
    bool sawSpeed(std::uint32_t baud) const;
    std::uint64_t readLimit() const;
    void feed(std::uint64_t most, std::uint64_t nowUs);
    // Every byte the box sent has been written to the master.
    bool allSent() const { return line_.toPc().empty() && engine_.output().delivered(); }
    void carryOutput(std::uint64_t nowUs);
    void placeInWrite(std::uint64_t nowUs);
    void place(const ReplayPeer::InWrite& in, std::uint64_t nowUs);
    void dropLine(std::uint64_t nowUs);
    int depart(std::size_t lineNumber, const std::string& what);
    int summary();

    const ReplayOptions& options_;
    ReplayPeer& peer_;
    PtyLink& link_;
    PtyEngine& engine_;
    const RecordedRun recorded_;
    ReplayedProgram* const program_;  // null: started elsewhere
    const std::uint64_t deadlineUs_;
    int status_ = 1;
    bool started_ = false;  // the recording's clock starts with the program's first open
    std::optional<std::uint64_t> allDoneUs_;
    std::optional<std::uint64_t> programEndedUs_;

    std::vector<std::uint32_t> baudsSinceStep_;  // the program's speeds since the last step was done
    std::uint32_t configuredBaud_ = 0;
    std::size_t stepsSeen_ = 0;
    std::optional<std::uint64_t> speedMismatchSinceUs_;
    long writesSeen_ = -1;  // the program's writes and the line's fill when
    int pendingSeen_ = -1;  // last looked at, and when either last changed
    std::uint64_t writesSeenUs_ = 0;
    bool dropped_ = false;                        // for the box's hang-up
    int opensTold_ = 0;
    std::optional<std::pair<std::size_t, std::string>> departure_;  // found on this side of the line
    std::vector<std::string> notPlaced_;  // replies and hang-ups not at their recorded place
    simline::LineEngine line_;  // the recorded box's side of the line: its timers, its bytes on their way
};

// The speed is looked at often, and every speed seen since the last step
// counts: the program may have changed it again (or restored the port's own
// at close) right after writing, before its bytes were read here.
void Replay::noteSpeed() {
    if (peer_.steps() != stepsSeen_) {
        stepsSeen_ = peer_.steps();
        baudsSinceStep_.assign(1, configuredBaud_);
    }
    const auto settings = link_.pcSettings();
    if (!settings || !settings->local) return;
    configuredBaud_ = settings->baud;
    if (!sawSpeed(configuredBaud_)) baudsSinceStep_.push_back(configuredBaud_);
}

bool Replay::sawSpeed(std::uint32_t baud) const {
    return std::find(baudsSinceStep_.begin(), baudsSinceStep_.end(), baud) != baudsSinceStep_.end();
}

// How much of the program's stream may be read now. No more than the next
// step needs: what the program wrote beyond stays in the line, where it holds
// the program's writes up as a busy box would. A reply or hang-up the box gave
// during a write must find the program inside that write, so the line is kept
// full ahead of it (see placeInWrite).
std::uint64_t Replay::readLimit() const {
    // What the program wrote after the box hung up never reached it.
    if (peer_.hungUp(0)) return 0;
    const std::uint64_t wanted = peer_.wantedNow();
    const auto in = peer_.nextInWrite();
    if (!in) return wanted;
    if (in->afterWords || in->firstWrite) return 0;
    const std::uint64_t holdAt = in->writeStart > kLeftInLine ? in->writeStart - kLeftInLine : 0;
    const std::uint64_t readAt = peer_.written();
    return readAt >= holdAt ? 0 : std::min(wanted, holdAt - readAt);
}

// Reads up to `most` bytes of the program's stream, a step's worth at a time
// so that each goes with the speed it was sent at, and tells the peer.
void Replay::feed(std::uint64_t most, std::uint64_t nowUs) {
    char buffer[4096];
    while (most > 0 && link_.isOpen() && !peer_.departure() && !peer_.hungUp(nowUs)) {
        noteSpeed();
        const std::uint64_t piece = std::min<std::uint64_t>({most, sizeof buffer, std::max<std::uint64_t>(peer_.wantedNow(), 1)});
        const ssize_t n = ::read(link_.master(), buffer, static_cast<std::size_t>(piece));
        if (n <= 0) return;
        const std::uint32_t expected = peer_.nextPcBaud();
        const std::uint32_t baud = expected != 0 && sawSpeed(expected) ? expected : configuredBaud_;
        peer_.pcWrote(reinterpret_cast<const std::uint8_t*>(buffer), static_cast<std::size_t>(n), baud, nowUs);
        line_.collect();
        most -= static_cast<std::uint64_t>(n);
    }
}

// The box's bytes go once the program listens at the speed they were sent
// at; where it does not for long, the program has departed.
void Replay::carryOutput(std::uint64_t nowUs) {
    PcOutput& output = engine_.output();
    auto waiting = output.firstWaiting();
    if (waiting && waiting->sentBaud == waiting->listeningBaud) {
        // A reply the box gave during the first write of image data after
        // these words must be waiting when that write returns: the write
        // waits from before the program can read them (see placeInWrite).
        if (const auto in = peer_.nextInWrite(); in && in->firstWrite) link_.holdPcOutput(true);
        if (!output.carry()) departure_ = {peer_.lastReplyLine(), "cannot write to the line"};
        waiting = output.firstWaiting();
    }
    if (!waiting || waiting->sentBaud == waiting->listeningBaud) {
        speedMismatchSinceUs_.reset();
        return;
    }
    if (!speedMismatchSinceUs_) speedMismatchSinceUs_ = nowUs;
    if (nowUs >= *speedMismatchSinceUs_ + kSpeedGraceUs)
        departure_ = {peer_.lastReplyLine(), "the PC listens at " + std::to_string(waiting->listeningBaud) +
                                                 " baud where the recording has " + std::to_string(waiting->sentBaud)};
}

// Sends a reply the box gave during a write (or drops the line for a hang-up
// there) once the program is inside that write and cannot return from it
// first. Where the program read the box's words last, that is as soon as it
// has read them. Otherwise it is once the line is full and the program waits
// in a write: the line is then stopped and read up to the start of the write
// the reply came during; if the program got into it, the reply goes, and if
// not, it goes on from an empty line and is held again.
void Replay::placeInWrite(std::uint64_t nowUs) {
    const auto in = peer_.nextInWrite();
    if (!in || readLimit() > 0 || !allSent()) return;
    const int pending = link_.pendingInput();
    const bool held = pending >= kLineDisciplineFull && !link_.pcCanWrite();
    if (in->firstWrite) {
        // Stopped since the box's last words: the program reads nothing more
        // before its first write returns, so the reply may go once it has
        // taken them.
        if (link_.unreadOutput() > 0) return;
    } else if (in->afterWords) {
        // The same once the program has read the box's reply to its write
        // before; until then the line is let go a little at a time, so that
        // the write after that reply finds too little room to return.
        if (link_.unreadOutput() > 0) {
            if (held) feed(std::min<std::uint64_t>(kTrickle, in->at - peer_.written() - 1), nowUs);
            return;
        }
        link_.holdPcOutput(true);
    } else {
        // The program's writes show as events, and the line's fill as it
        // grows; what comes of a write before its end shows only as the fill.
        if (link_.pcWrites() != writesSeen_ || pending != pendingSeen_) {
            writesSeen_ = link_.pcWrites();
            pendingSeen_ = pending;
            writesSeenUs_ = nowUs;
        }
        const bool writesEnded = pending > 0 && nowUs >= writesSeenUs_ + kWritesEndedUs;
        if (!held && !writesEnded) return;
        link_.holdPcOutput(true);
        // Read no further than needed to see that: what the program wrote
        // beyond stays in the line and holds it for the next reply.
        if (peer_.written() <= in->writeStart) feed(in->writeStart + 1 - peer_.written(), nowUs);
    }
    if (in->firstWrite || in->afterWords || peer_.written() > in->writeStart) {
        place(*in, nowUs);
        if (in->hangUp) return;  // the line stays stopped until it drops
    }
    link_.holdPcOutput(false);
}

// The program is stopped inside the write; what it has written so far is
// all in the line, as far as the line discipline shows it.
void Replay::place(const ReplayPeer::InWrite& in, std::uint64_t nowUs) {
    const std::string line = std::to_string(peer_.records()[in.index].lineNumber);
    if (in.hangUp) {
        // The peer drops the line once told of the bytes before the cut.
        feed(in.at - peer_.written(), nowUs);
        if (peer_.written() < in.at) {
            notPlaced_.push_back("the hang-up at line " + line + " came " + std::to_string(in.at - peer_.written()) +
                                 " bytes before its place in the program's stream");
            peer_.dropLineNow(nowUs);
        } else if (const int beyond = link_.pendingInput(); beyond > 0) {
            notPlaced_.push_back("the hang-up at line " + line + " came after the program had written " +
                                 std::string(beyond >= kLineDisciplineFull ? "at least " : "") +
                                 std::to_string(beyond) + " bytes past its place");
        }
        return;
    }
    const Record& record = peer_.records()[in.index];
    const std::uint64_t seen = peer_.written() + static_cast<std::uint64_t>(link_.pendingInput());
    if (seen >= in.at)
        notPlaced_.push_back("the reply at line " + line + " went after the program had written the whole write it came during" +
                             (seen > in.at ? " and " + std::to_string(seen - in.at) + " bytes more" : std::string()));
    // A wrong speed is named in the reply's turn: the reply waits for it.
    if (!sawSpeed(record.baud) && link_.pcSettings() && link_.pcSettings()->baud != record.baud) return;
    peer_.sendReplyNow(nowUs);
    const auto reply = peer_.takeOutbox();
    std::size_t size = 0;
    for (const auto& transmission : reply) size += transmission.bytes.size();
    if (engine_.output().sendNow(reply, nowUs)) link_.awaitUnreadOutput(static_cast<int>(size));
}

// The line drops as a box's does (PtyEngine::readyToHangUp); it is published
// again when the recording has the program open it again.
void Replay::dropLine(std::uint64_t nowUs) {
    if (!peer_.hungUp(nowUs)) {
        dropped_ = false;
        return;
    }
    if (dropped_ || peer_.departure() || !allSent() || !engine_.readyToHangUp(nowUs)) return;
    const bool again = peer_.opensAgain();
    dropped_ = true;
    opensTold_ = 0;
    if (const auto error = engine_.hangUp(again)) {
        departure_ = {peer_.waitingAt() ? peer_.waitingAt()->lineNumber : 0, "cannot publish the line again: " + *error};
        return;
    }
    if (again && link_.watch() < 0) peer_.pcOpened(nowUs);  // its open cannot be seen
}

int Replay::depart(std::size_t lineNumber, const std::string& what) {
    std::printf("boxsim: replay: the PC departs from the recording at line %zu: %s\n", lineNumber, what.c_str());
    std::fflush(stdout);
    return 1;
}

int Replay::summary() {
    const std::size_t placed = peer_.steps() - std::min(peer_.steps(), notPlaced_.size());
    std::string line = "boxsim: replay of " + options_.tracePath + ": " + std::to_string(placed) + " steps as recorded";
    if (!notPlaced_.empty()) {
        line += ", " + std::to_string(notPlaced_.size()) + " not at " + (notPlaced_.size() == 1 ? "its" : "their") +
                " recorded place (";
        for (std::size_t i = 0; i < notPlaced_.size(); ++i) line += (i > 0 ? "; " : "") + notPlaced_[i];
        line += ")";
    }
    const Record& last = peer_.records().back();
    line += ", ending with " + std::string(last.kind == RecordKind::Signal ? "signal " : "") + last.detail;
    if (peer_.imagePieces() > 0) {
        line += "; image data " + std::to_string(peer_.imageBytes()) + " bytes in " +
                std::to_string(peer_.imagePieces()) + " pieces, ";
        line += peer_.imageDiffersAt()
                    ? "differing from the recording from line " + std::to_string(*peer_.imageDiffersAt()) + " on"
                    : std::string("digests as recorded");
    }
    for (const std::size_t lineNumber : peer_.looseLines())
        line += "; the time stamp at line " + std::to_string(lineNumber) + " matched loosely (length and form)";
    std::optional<SeenRun> seen;
    if (program_ != nullptr) {
        // The program ends after its last step as long as it did in the recording, and a little.
        const std::uint64_t lastStepUs = peer_.lastStepTraceUs();
        const std::uint64_t recordedTailUs = last.us > lastStepUs ? last.us - lastStepUs : 0;
        seen = program_->finish(std::min(deadlineUs_, platform::monotonicUs() + recordedTailUs + kLeaveGraceUs));
    }
    const RunVerdict verdict = compareRun(recorded_, seen);
    line += "; " + verdict.text;
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    return peer_.imageDiffersAt() || verdict.differs || !notPlaced_.empty() ? 1 : 0;
}

PtyEngine::Side::Turn Replay::turn(std::uint64_t nowUs) {
    const int opens = engine_.opens();
    if (link_.isOpen()) {
        noteSpeed();
        if (!started_ && (opens > 0 || link_.pendingInput() > 0 || link_.watch() < 0)) {
            started_ = true;
            if (opens == 0) peer_.pcOpened(nowUs);  // its open cannot be seen
        }
        for (; opensTold_ < opens; ++opensTold_) peer_.pcOpened(nowUs);
    }
    if (started_ && link_.isOpen()) {
        // The box's timers, its bytes crossing, and what it said at an open.
        line_.advanceTo(nowUs);
        line_.collect();
        carryOutput(nowUs);
        placeInWrite(nowUs);
        feed(readLimit(), nowUs);
    }
    if (started_) dropLine(nowUs);
    auto over = [this](int status) {
        status_ = status;
        return Turn::Over;
    };
    if (const auto& departure = peer_.departure()) return over(depart(departure->lineNumber, departure->what));
    if (departure_) return over(depart(departure_->first, departure_->second));
    // A line dropped just now starts its count of opens and closes afresh.
    const int opensNow = engine_.opens();
    const int closesNow = engine_.closes();
    const trace::Record* waiting = peer_.waitingAt();
    if (peer_.finished() && allSent()) {
        if (!allDoneUs_) allDoneUs_ = nowUs;
        const bool programLeft = link_.watch() >= 0 ? (closesNow >= opensNow) : nowUs >= *allDoneUs_ + kLeaveGraceUs;
        if (programLeft || !link_.isOpen() || nowUs >= *allDoneUs_ + kLeaveGraceUs) return over(summary());
    } else if (waiting != nullptr && started_ && link_.watch() >= 0 && opensNow > 0 && closesNow >= opensNow &&
               link_.pendingInput() == 0 &&
               (waiting->kind == RecordKind::PcBytes || waiting->kind == RecordKind::PcBulk)) {
        // The program has gone while the recording has it go on.
        return over(depart(waiting->lineNumber, "the PC closed the line where the recording has it send more"));
    }
    if (program_ != nullptr && program_->ended() && waiting != nullptr) {
        // Its last bytes may still be on their way: the steps get a moment to take them.
        if (!programEndedUs_) programEndedUs_ = nowUs;
        if (nowUs >= *programEndedUs_ + kLeaveGraceUs)
            return over(depart(waiting->lineNumber, "the program ended where the recording has it go on"));
    }
    return Turn::Wait;
}

int Replay::stopped(bool bySignal, std::uint64_t) {
    const trace::Record* waiting = peer_.waitingAt();
    std::printf("boxsim: replay: %s at line %zu of the recording\n",
                bySignal ? "stopped by a signal" : "gave up after the time-out",
                waiting != nullptr ? waiting->lineNumber : peer_.records().back().lineNumber);
    std::fflush(stdout);
    return 1;
}

std::uint64_t Replay::wakeUs(std::uint64_t nowUs) const {
    // Input left in the line on purpose must not wake us again and again (wantsInput).
    // The engine wakes for the box's bytes on their way.
    return std::min(nowUs + kLookAgainUs, line_.nextEventUs());
}

// The line's own directory when no path was given, removed at the end.
struct TemporaryLine {
    std::string directory;
    std::string make() {
        char name[] = "/tmp/boxsim-replay-XXXXXX";
        if (mkdtemp(name) == nullptr) return "";
        directory = name;
        return directory + "/line";
    }
    // After the line is unpublished: the directory is empty then.
    ~TemporaryLine() {
        if (!directory.empty()) ::rmdir(directory.c_str());
    }
};

}  // namespace

int runReplay(const ReplayOptions& options) {
    std::ifstream file(options.tracePath, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "boxsim: cannot read the trace %s\n", options.tracePath.c_str());
        return 2;
    }
    std::ostringstream content;
    content << file.rdbuf();
    trace::ParsedTrace parsed = trace::readTrace(content.str(), trace::kProgramLine);
    if (parsed.problem) {
        std::fprintf(stderr, "boxsim: %s:%zu: %s\n", options.tracePath.c_str(), parsed.problem->lineNumber,
                     parsed.problem->what.c_str());
        return 2;
    }
    RecordedRun recorded = recordedRun(parsed.records, parsed.consoleRecorded);
    TemporaryLine temporary;
    const std::string linkPath = options.linkPath.empty() ? temporary.make() : options.linkPath;
    if (linkPath.empty()) {
        std::fprintf(stderr, "boxsim: cannot make a directory for the line: %s\n", std::strerror(errno));
        return 2;
    }
    PtyLink link;
    link.countPcWrites();
    if (const auto error = link.open(linkPath)) {
        std::fprintf(stderr, "boxsim: cannot publish the line at %s: %s\n", linkPath.c_str(), error->c_str());
        return 2;
    }
    ReplayedProgram program;
    if (!options.program.empty()) {
        if (const auto error = program.start(options.program, linkPath)) {
            std::fprintf(stderr, "boxsim: %s\n", error->c_str());
            return 2;
        }
    }
    ReplayPeer peer(std::move(parsed.records));
    PtyEngine engine(link, linkPath);
    Replay replay(options, peer, link, engine, std::move(recorded), options.program.empty() ? nullptr : &program);
    const int status = engine.run(replay, options.timeoutS);
    // A program left on the line after a departure: the cable is pulled, and
    // it gets a moment to notice and end by itself.
    if (!options.program.empty() && !program.ended()) {
        if (link.isOpen()) link.hangUp();
        program.finish(platform::monotonicUs() + kLeaveGraceUs);
    }
    link.unpublish();
    return status;
}

}  // namespace boxsim
