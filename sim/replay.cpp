#include "replay.h"

#include <poll.h>
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
#include "line_wait.h"
#include "pty_link.h"
#include "replay_console.h"
#include "replay_program.h"
#include "trace/trace_format.h"

namespace boxsim {

namespace {

using trace::Record;
using trace::RecordKind;

constexpr std::uint64_t kLookEveryUs = 5000;       // speed and the watch raise no event on the master
constexpr std::uint64_t kLeaveGraceUs = 2000000;   // after the last step: the program closes the line
constexpr std::uint64_t kSpeedGraceUs = 500000;    // the program may still be switching its speed
constexpr std::uint64_t kSettleUs = 50000;         // the pty hands written bytes on a moment later
// A reply recorded this soon after image data came while the program was
// still writing them: it must be there when that write returns.
constexpr std::uint64_t kReplyDuringDataUs = 20000;
// Image data left in the line ahead of the write a reply came during, where
// the program read nothing since its write before. The program's writes stop
// once the line is full, and this puts that point inside a write of 10 KiB: a
// Linux pseudo-terminal took 13.5 to 20.5 KiB of them before it was full. It
// is a good guess, not a certainty: the line's room cannot be read.
constexpr std::uint64_t kLeftInLine = 12288;
// What the line discipline shows once it is full (Linux): with no room behind
// it either, the program waits in its write until boxsim reads.
constexpr int kLineDisciplineFull = 4095;
// Image data read at a time while the program finishes a write and reads the
// box's reply to it: the room this makes is far less than its next write.
constexpr std::size_t kTrickle = 1024;
// A write too short to fill the line cannot be held: once the program has
// written nothing for this long without filling the line, the reply goes.
constexpr std::uint64_t kWritesEndedUs = 200000;
constexpr std::size_t kLookBeyondEnd = 64;       // after the last step: enough to show what more came

std::string quoted(const std::string& bytes) {
    std::string out;
    trace::appendQuoted(out, bytes.size() > 40 ? bytes.substr(0, 40) : bytes);
    if (bytes.size() > 40) out += "...";
    return out;
}

class Replay {
public:
    Replay(const ReplayOptions& options, std::vector<Record> records, PtyLink& link, RecordedRun recorded,
           ReplayedProgram* program)
        : options_(options), records_(std::move(records)), link_(link), recorded_(std::move(recorded)),
          program_(program) {}
    int run();

private:
    void takeInput(std::size_t wanted);
    std::size_t wantedBy(std::size_t next) const;
    std::size_t previousDialogue(std::size_t index) const;
    std::size_t writeBefore(std::size_t index) const;
    bool writeFollows(std::size_t index) const;
    std::optional<std::size_t> wordsBefore(std::size_t during, std::size_t next) const;
    std::optional<std::size_t> replyDuringData(std::size_t next) const;
    std::size_t readableBy(std::size_t next) const;
    void placeReplyWhenHeld(std::size_t next, std::uint64_t nowUs);
    void noteSpeed();
    bool sawSpeed(std::uint32_t baud) const;
    bool writeToPc(const std::string& bytes);
    bool step(const Record& record, std::uint64_t nowUs);  // true: done with the record
    bool takePcBytes(const Record& record);
    bool takePcBulk(const Record& record);
    bool sendBoxBytes(const Record& record, std::uint64_t nowUs);
    bool dueNow(const Record& record, std::uint64_t nowUs) const;
    int depart(const Record& record, const std::string& what);
    int summary();

    const ReplayOptions& options_;
    std::vector<Record> records_;
    PtyLink& link_;
    const RecordedRun recorded_;
    ReplayedProgram* const program_;  // null: started elsewhere
    std::uint64_t deadlineUs_ = 0;
    std::optional<std::uint64_t> programEndedUs_;

    std::string input_;                 // what the program sent and no step has taken yet
    std::vector<std::uint32_t> baudsSinceStep_;  // the program's speeds since the last step was done
    std::uint32_t configuredBaud_ = 0;
    std::vector<bool> sentEarly_;       // box bytes already sent while the program was writing
    std::vector<bool> placed_;          // replies during image data done with, sent or not
    std::vector<std::uint64_t> bulkStart_;  // image data of the recording before each record
    std::uint64_t bulkTakenInAll_ = 0;  // image data taken so far
    long writesSeen_ = -1;              // the program's writes and the line's fill when
    int pendingSeen_ = -1;              // last looked at, and when either last changed
    std::uint64_t writesSeenUs_ = 0;
    std::size_t bulkTaken_ = 0;         // of the current image data step
    std::uint64_t bulkDigest_ = trace::kDigestStart;
    std::uint64_t lastStepTraceUs_ = 0;  // the recorded time of the last step done
    std::uint64_t lastStepUs_ = 0;       // and when it was done here
    std::optional<std::uint64_t> speedMismatchSinceUs_;
    std::optional<std::string> departure_;
    int opens_ = 0;
    int closes_ = 0;
    int recordedOpens_ = 0;  // opens of the recording played so far, since the line was last published

    std::size_t steps_ = 0;
    std::vector<std::size_t> looseLines_;
    std::uint64_t imageBytes_ = 0;
    std::size_t imagePieces_ = 0;
    std::optional<std::size_t> imageDiffersAt_;
};

// The speed is looked at often, and every speed seen since the last step
// counts: the program may have changed it again (or restored the port's own
// at close) right after writing.
void Replay::noteSpeed() {
    const auto settings = link_.pcSettings();
    if (!settings || !settings->local) return;
    configuredBaud_ = settings->baud;
    if (std::find(baudsSinceStep_.begin(), baudsSinceStep_.end(), configuredBaud_) == baudsSinceStep_.end())
        baudsSinceStep_.push_back(configuredBaud_);
}

bool Replay::sawSpeed(std::uint32_t baud) const {
    return std::find(baudsSinceStep_.begin(), baudsSinceStep_.end(), baud) != baudsSinceStep_.end();
}

// Takes no more than the step needs: what the program wrote beyond that stays
// in the line, where it holds the program's writes up as a busy box would.
void Replay::takeInput(std::size_t wanted) {
    char buffer[4096];
    while (input_.size() < wanted) {
        const std::size_t room = std::min(sizeof buffer, wanted - input_.size());
        const ssize_t n = ::read(link_.master(), buffer, room);
        if (n <= 0) return;
        input_.append(buffer, static_cast<std::size_t>(n));
    }
}

std::size_t Replay::wantedBy(std::size_t next) const {
    if (next >= records_.size()) return kLookBeyondEnd;
    const Record& record = records_[next];
    if (record.kind == RecordKind::PcBytes) return record.bytes.size();
    if (record.kind == RecordKind::PcBulk) return static_cast<std::size_t>(record.size) - bulkTaken_;
    return 0;
}

// The dialogue record before `index`, notes skipped; records_.size() if none.
std::size_t Replay::previousDialogue(std::size_t index) const {
    while (index > 0 && records_[index - 1].kind == RecordKind::Note) --index;
    return index > 0 ? index - 1 : records_.size();
}

// The image data record before `index`, with only notes and the box's replies
// between; records_.size() if none.
std::size_t Replay::writeBefore(std::size_t index) const {
    while (index > 0) {
        const RecordKind kind = records_[--index].kind;
        if (kind == RecordKind::PcBulk) return index;
        if (kind != RecordKind::Note && kind != RecordKind::BoxBytes) break;
    }
    return records_.size();
}

// Whether the dialogue record after `index` (notes skipped) is image data.
bool Replay::writeFollows(std::size_t index) const {
    while (++index < records_.size() && records_[index].kind == RecordKind::Note) {
    }
    return index < records_.size() && records_[index].kind == RecordKind::PcBulk;
}

// The box's words that the program read last before the write `during` (not
// its first), once they are sent: after reading them the program reads nothing
// more until that write has returned.
std::optional<std::size_t> Replay::wordsBefore(std::size_t during, std::size_t next) const {
    const std::size_t words = previousDialogue(during);
    if (words >= records_.size() || records_[words].kind != RecordKind::BoxBytes ||
        writeBefore(during) == records_.size() || !(sentEarly_[words] || next > words))
        return std::nullopt;
    return words;
}

// The first reply the box gave while the program was writing image data that
// is still to be placed, if the steps from `next` lead to it through image
// data and other such replies only, and the write it came during is not all
// taken yet.
std::optional<std::size_t> Replay::replyDuringData(std::size_t next) const {
    for (std::size_t i = next; i < records_.size(); ++i) {
        const Record& record = records_[i];
        if (record.kind == RecordKind::Note || record.kind == RecordKind::PcBulk) continue;
        if (record.kind != RecordKind::BoxBytes) return std::nullopt;
        if (placed_[i]) continue;
        // Between two writes the reply can only have been read right after
        // the first (a late time there means the program was kept from
        // running); after the last one, only if it was read at once.
        const std::size_t during = previousDialogue(i);
        if (during >= records_.size() || records_[during].kind != RecordKind::PcBulk ||
            (record.us > records_[during].us + kReplyDuringDataUs && !writeFollows(i)))
            return std::nullopt;
        if (bulkTakenInAll_ >= bulkStart_[during] + records_[during].size) return std::nullopt;
        return i;
    }
    return std::nullopt;
}

// How much input the steps from `next` may have read by now. A reply the box
// gave during a write must be waiting when that write returns, and not before
// the program began it (it reads after every write). Its writes return at once
// while the line has room, so the image data before that write are left in the
// line until the program waits inside it.
std::size_t Replay::readableBy(std::size_t next) const {
    const std::size_t wanted = wantedBy(next);
    const auto reply = replyDuringData(next);
    if (!reply) return wanted;
    const std::size_t during = previousDialogue(*reply);
    if (wordsBefore(during, next)) return input_.size();
    const std::uint64_t writeStart = bulkStart_[during];
    const std::uint64_t holdAt = writeStart > kLeftInLine ? writeStart - kLeftInLine : 0;
    const std::uint64_t readAt = bulkTakenInAll_ + input_.size();
    if (readAt >= holdAt) return input_.size();
    return static_cast<std::size_t>(std::min<std::uint64_t>(wanted, input_.size() + (holdAt - readAt)));
}

// Sends a reply the box gave during a write once the program is inside that
// write and cannot return from it first. Where the program read some of the
// box's words last, that is as soon as it has read them. Otherwise it is once
// the line is full and the program waits in a write: the line is then stopped
// and read up to the start of the write the reply came during; if the program
// got into it, the reply goes, and if not, it goes on from an empty line and
// is held again.
void Replay::placeReplyWhenHeld(std::size_t next, std::uint64_t nowUs) {
    const auto reply = replyDuringData(next);
    if (!reply || readableBy(next) > input_.size()) return;
    const std::size_t during = previousDialogue(*reply);
    const std::uint64_t writeStart = bulkStart_[during];
    const bool firstWrite = writeBefore(during) == records_.size();
    const bool afterWords = wordsBefore(during, next).has_value();
    const int pending = link_.pendingInput();
    const bool held = pending >= kLineDisciplineFull && !link_.pcCanWrite();
    if (firstWrite) {
        // Stopped since the box's last words: the program reads nothing more
        // before its first write returns, so the reply may go once it has
        // taken them.
        if (link_.unreadOutput() > 0) return;
    } else if (afterWords) {
        // The same once the program has read the box's reply to its write
        // before; until then the line is let go a little at a time, so that
        // the write after that reply finds too little room to return.
        if (link_.unreadOutput() > 0) {
            if (held) takeInput(input_.size() + kTrickle);
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
        if (bulkTakenInAll_ + input_.size() <= writeStart)
            takeInput(static_cast<std::size_t>(writeStart + 1 - bulkTakenInAll_));
    }
    if (firstWrite || afterWords || bulkTakenInAll_ + input_.size() > writeStart) {
        const Record& record = records_[*reply];
        placed_[*reply] = true;
        // A wrong speed is named in the reply's turn.
        if (sawSpeed(record.baud)) sentEarly_[*reply] = writeToPc(record.bytes);
        if (sentEarly_[*reply]) link_.awaitUnreadOutput(static_cast<int>(record.bytes.size()));
    }
    link_.holdPcOutput(false);
}

bool Replay::takePcBytes(const Record& record) {
    const std::string& wanted = record.bytes;
    const std::size_t compared = std::min(wanted.size(), input_.size());
    if (input_.size() < wanted.size()) {
        // Only a time stamp may differ; anything else departs at its first wrong byte.
        if (wanted.size() != 5 && input_.compare(0, compared, wanted, 0, compared) != 0)
            departure_ = "the PC sent " + quoted(input_) + " where the recording has " + quoted(wanted);
        return false;
    }
    const std::string sent = input_.substr(0, wanted.size());
    if (sent != wanted) {
        if (!sameTimeStampForm(wanted, sent)) {
            departure_ = "the PC sent " + quoted(sent) + " where the recording has " + quoted(wanted);
            return false;
        }
        looseLines_.push_back(record.lineNumber);
    }
    if (!sawSpeed(record.baud)) {
        departure_ = "the PC sent at " + std::to_string(configuredBaud_) + " baud where the recording has " +
                     std::to_string(record.baud);
        return false;
    }
    input_.erase(0, wanted.size());
    return true;
}

bool Replay::takePcBulk(const Record& record) {
    if (input_.empty()) return false;
    if (bulkTaken_ == 0 && !sawSpeed(record.baud)) {
        departure_ = "the PC sent image data at " + std::to_string(configuredBaud_) +
                     " baud where the recording has " + std::to_string(record.baud);
        return false;
    }
    const std::size_t take = std::min<std::size_t>(input_.size(), record.size - bulkTaken_);
    bulkDigest_ = trace::digestOf(input_.data(), take, bulkDigest_);
    input_.erase(0, take);
    bulkTaken_ += take;
    bulkTakenInAll_ += take;
    if (bulkTaken_ < record.size) return false;
    if (bulkDigest_ != record.digest && !imageDiffersAt_) imageDiffersAt_ = record.lineNumber;
    imageBytes_ += record.size;
    ++imagePieces_;
    bulkTaken_ = 0;
    bulkDigest_ = trace::kDigestStart;
    return true;
}

bool Replay::dueNow(const Record& record, std::uint64_t nowUs) const {
    const std::uint64_t pause = record.us > lastStepTraceUs_ ? record.us - lastStepTraceUs_ : 0;
    return nowUs >= lastStepUs_ + pause;
}

bool Replay::sendBoxBytes(const Record& record, std::uint64_t nowUs) {
    if (!dueNow(record, nowUs)) return false;
    const auto settings = link_.pcSettings();
    const std::uint32_t pcBaud = settings ? settings->baud : 0;
    if (pcBaud != record.baud) {
        if (!speedMismatchSinceUs_) speedMismatchSinceUs_ = nowUs;
        if (nowUs >= *speedMismatchSinceUs_ + kSpeedGraceUs)
            departure_ = "the PC listens at " + std::to_string(pcBaud) + " baud where the recording has " +
                         std::to_string(record.baud);
        return false;
    }
    speedMismatchSinceUs_.reset();
    // A reply the box gave during the program's first write of image data
    // after these words must be waiting when that write returns: the write
    // waits from before the program can read them (see placeReplyWhenHeld).
    const std::size_t index = static_cast<std::size_t>(&record - records_.data());
    if (const auto reply = replyDuringData(index + 1); reply && writeBefore(previousDialogue(*reply)) == records_.size())
        link_.holdPcOutput(true);
    return writeToPc(record.bytes);
}

bool Replay::writeToPc(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(link_.master(), bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        pollfd entry{link_.master(), POLLOUT, 0};
        poll(&entry, 1, 5);
    }
    return true;
}

bool Replay::step(const Record& record, std::uint64_t nowUs) {
    switch (record.kind) {
        case RecordKind::PcBytes: return takePcBytes(record);
        case RecordKind::PcBulk: return takePcBulk(record);
        case RecordKind::BoxBytes:
            return sentEarly_[static_cast<std::size_t>(&record - records_.data())] || sendBoxBytes(record, nowUs);
        case RecordKind::HangUp: {
            // The program notices a hang-up only at its next call on the line,
            // so the recorded time is late: the line drops as soon as the
            // program has read what came before, as a box's does.
            if (nowUs < lastStepUs_ + kSettleUs) return false;
            if (link_.unreadOutput() > 0 && nowUs < lastStepUs_ + kHangUpGraceUs) return false;
            link_.hangUp();
            opens_ = closes_ = recordedOpens_ = 0;
            // The cable is plugged back in when the recording has the program open the line again.
            const bool reopened = std::any_of(records_.begin() + static_cast<std::ptrdiff_t>(&record - records_.data()),
                                              records_.end(),
                                              [](const Record& later) { return later.kind == RecordKind::Open; });
            if (reopened) {
                if (const auto error = link_.open(options_.linkPath)) {
                    departure_ = "cannot publish the line again: " + *error;
                    return false;
                }
            }
            return true;
        }
        case RecordKind::Open:
            // The program opens the line again (loop mode, after a hang-up): wait for it.
            if (link_.watch() >= 0 && opens_ <= recordedOpens_) return false;
            ++recordedOpens_;
            return true;
        default: return true;  // notes, closes, settings: nothing for the box to do
    }
}

int Replay::depart(const Record& record, const std::string& what) {
    std::printf("boxsim: replay: the PC departs from the recording at line %zu: %s\n", record.lineNumber,
                what.c_str());
    std::fflush(stdout);
    return 1;
}

int Replay::summary() {
    std::string line = "boxsim: replay of " + options_.tracePath + ": " + std::to_string(steps_) +
                       " steps as recorded";
    const Record& last = records_.back();
    line += ", ending with " + std::string(last.kind == RecordKind::Signal ? "signal " : "") + last.detail;
    if (imagePieces_ > 0) {
        line += "; image data " + std::to_string(imageBytes_) + " bytes in " + std::to_string(imagePieces_) +
                " pieces, ";
        line += imageDiffersAt_ ? "differing from the recording from line " + std::to_string(*imageDiffersAt_) + " on"
                                : std::string("digests as recorded");
    }
    for (const std::size_t lineNumber : looseLines_)
        line += "; the time stamp at line " + std::to_string(lineNumber) + " matched loosely (length and form)";
    std::optional<SeenRun> seen;
    if (program_ != nullptr) {
        // The program ends after its last step as long as it did in the recording, and a little.
        const std::uint64_t recordedTailUs = last.us > lastStepTraceUs_ ? last.us - lastStepTraceUs_ : 0;
        seen = program_->finish(std::min(deadlineUs_, platform::monotonicUs() + recordedTailUs + kLeaveGraceUs));
    }
    const RunVerdict verdict = compareRun(recorded_, seen);
    line += "; " + verdict.text;
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    return imageDiffersAt_ || verdict.differs ? 1 : 0;
}

int Replay::run() {
    catchStopSignals();

    const std::uint64_t startUs = platform::monotonicUs();
    const auto deadlineUs = startUs + static_cast<std::uint64_t>(options_.timeoutS * 1e6);
    deadlineUs_ = deadlineUs;
    lastStepUs_ = startUs;
    std::size_t next = 0;
    sentEarly_.assign(records_.size(), false);
    placed_.assign(records_.size(), false);
    bulkStart_.assign(records_.size(), 0);
    for (std::size_t i = 1; i < records_.size(); ++i) {
        const Record& before = records_[i - 1];
        bulkStart_[i] = bulkStart_[i - 1] + (before.kind == RecordKind::PcBulk ? before.size : 0);
    }
    // The recording's clock starts with the program; ours when the program opens the line.
    bool started = false;
    std::optional<std::uint64_t> allDoneUs;
    for (;;) {
        const std::uint64_t nowUs = platform::monotonicUs();
        if (link_.isOpen()) {
            link_.readWatch(opens_, closes_);
            noteSpeed();
            if (started) placeReplyWhenHeld(next, nowUs);
            takeInput(started ? readableBy(next) : 0);
        }
        if (!started && (opens_ > 0 || !input_.empty() || link_.watch() < 0)) {
            started = true;
            // Line up the clocks on the first open of the recording.
            for (const Record& record : records_) {
                if (record.kind != RecordKind::Open) continue;
                lastStepTraceUs_ = record.us;
                break;
            }
            lastStepUs_ = nowUs;
        }
        while (started && next < records_.size() && !departure_) {
            const Record& record = records_[next];
            if (!step(record, platform::monotonicUs())) break;
            const bool dialogue = record.kind == RecordKind::PcBytes || record.kind == RecordKind::PcBulk ||
                                  record.kind == RecordKind::BoxBytes || record.kind == RecordKind::HangUp;
            if (dialogue) {
                ++steps_;
                baudsSinceStep_.assign(1, configuredBaud_);
                noteSpeed();
                lastStepTraceUs_ = record.us;
                lastStepUs_ = platform::monotonicUs();
            }
            ++next;
        }
        if (departure_) return depart(records_[std::min(next, records_.size() - 1)], *departure_);
        if (next == records_.size()) {
            if (!allDoneUs) allDoneUs = nowUs;
            if (!input_.empty())
                return depart(records_.back(), "the PC sent " + quoted(input_) + " after the recording's end");
            const bool programLeft = link_.watch() >= 0 ? (closes_ >= opens_) : nowUs >= *allDoneUs + kLeaveGraceUs;
            if (programLeft || !link_.isOpen() || nowUs >= *allDoneUs + kLeaveGraceUs) return summary();
        } else if (started && link_.watch() >= 0 && opens_ > 0 && closes_ >= opens_ && input_.empty()) {
            // The program has gone while the recording has it go on.
            const Record& record = records_[next];
            if (record.kind == RecordKind::PcBytes || record.kind == RecordKind::PcBulk)
                return depart(record, "the PC closed the line where the recording has it send more");
        }
        if (program_ != nullptr && program_->ended() && next < records_.size()) {
            // Its last bytes may still be on their way: the steps get a moment to take them.
            if (!programEndedUs_) programEndedUs_ = nowUs;
            if (nowUs >= *programEndedUs_ + kLeaveGraceUs)
                return depart(records_[next], "the program ended where the recording has it go on");
        }
        if (stopSignal() != 0 || nowUs >= deadlineUs) {
            const Record& record = records_[std::min(next, records_.size() - 1)];
            std::printf("boxsim: replay: %s at line %zu of the recording\n",
                        stopSignal() != 0 ? "stopped by a signal" : "gave up after the time-out", record.lineNumber);
            std::fflush(stdout);
            return 1;
        }
        pollfd fds[2];
        nfds_t count = 0;
        // Input left in the line on purpose must not wake us again and again.
        const bool wantInput = readableBy(next) > input_.size();
        if (link_.isOpen() && wantInput) fds[count++] = {link_.master(), POLLIN, 0};
        if (link_.watch() >= 0) fds[count++] = {link_.watch(), POLLIN, 0};
        std::uint64_t waitUs = kLookEveryUs;
        if (next < records_.size() && records_[next].kind == RecordKind::BoxBytes) {
            const Record& record = records_[next];
            const std::uint64_t pause = record.us > lastStepTraceUs_ ? record.us - lastStepTraceUs_ : 0;
            const std::uint64_t dueUs = lastStepUs_ + pause;
            waitUs = dueUs > nowUs ? std::min<std::uint64_t>(dueUs - nowUs, 100000) : 0;
        }
        waitOnLine(fds, count, waitUs);
    }
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
    Replay replay(options, std::move(parsed.records), link, std::move(recorded),
                  options.program.empty() ? nullptr : &program);
    const int status = replay.run();
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
