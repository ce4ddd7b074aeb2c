#include "replay.h"

#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "platform/signal_flush.h"
#include "pty_link.h"
#include "trace/trace_format.h"

namespace boxsim {

namespace {

using trace::Record;
using trace::RecordKind;

constexpr std::uint64_t kLookEveryUs = 5000;       // speed and the watch raise no event on the master
constexpr std::uint64_t kLeaveGraceUs = 2000000;   // after the last step: the program closes the line
constexpr std::uint64_t kSpeedGraceUs = 500000;    // the program may still be switching its speed
constexpr std::uint64_t kHangUpGraceUs = 1000000;  // the program may read what came before the line dropped
constexpr std::uint64_t kSettleUs = 50000;         // the pty hands written bytes on a moment later
// A reply recorded this soon after image data came while the program was
// still writing them: it must be there when that write returns.
constexpr std::uint64_t kReplyDuringDataUs = 20000;
constexpr std::uint64_t kHeldStillUs = 50000;     // the line has stopped filling: the program waits in its write
constexpr std::uint64_t kLongestHoldUs = 1000000;
constexpr std::size_t kLookBeyondEnd = 64;       // after the last step: enough to show what more came

volatile sig_atomic_t stopSignal = 0;
void onStopSignal(int signal) { stopSignal = signal; }

bool isBcd(std::uint8_t value, int limit) {
    return (value >> 4) < 10 && (value & 0x0F) < 10 && ((value >> 4) * 10 + (value & 0x0F)) < limit;
}

std::string quoted(const std::string& bytes) {
    std::string out;
    trace::appendQuoted(out, bytes.size() > 40 ? bytes.substr(0, 40) : bytes);
    if (bytes.size() > 40) out += "...";
    return out;
}

class Replay {
public:
    Replay(const ReplayOptions& options, std::vector<Record> records, PtyLink& link)
        : options_(options), records_(std::move(records)), link_(link) {}
    int run();

private:
    void takeInput(std::size_t wanted);
    std::size_t wantedBy(std::size_t next) const;
    std::size_t nextDialogue(std::size_t index) const;
    bool holdingForReply(std::size_t next, std::uint64_t nowUs);
    void noteSpeed();
    bool sawSpeed(std::uint32_t baud) const;
    bool writeToPc(const std::string& bytes);
    void sendReplyDuringData(std::size_t bulkIndex);
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

    std::string input_;                 // what the program sent and no step has taken yet
    std::vector<std::uint32_t> baudsSinceStep_;  // the program's speeds since the last step was done
    std::uint32_t configuredBaud_ = 0;
    std::vector<bool> sentEarly_;       // box bytes already sent while the program was writing
    std::optional<std::uint64_t> holdStartUs_;
    int heldPending_ = -1;
    std::uint64_t heldSinceUs_ = 0;
    std::size_t bulkTaken_ = 0;         // of the current image data step
    std::uint64_t bulkDigest_ = 14695981039346656037ull;
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

// The dialogue record after `index`, notes skipped; records_.size() if none.
std::size_t Replay::nextDialogue(std::size_t index) const {
    std::size_t next = index + 1;
    while (next < records_.size() && records_[next].kind == RecordKind::Note) ++next;
    return next;
}

// A reply the box gave while the program was writing image data must be
// waiting when that write returns, and not before the write began. The
// program's writes return at once while the line has room; so the image data
// before that write are left in the line until the program is caught inside
// it (its bytes waiting, but not all of them), and the reply goes then.
bool Replay::holdingForReply(std::size_t next, std::uint64_t nowUs) {
    if (next >= records_.size() || records_[next].kind != RecordKind::PcBulk || bulkTaken_ != 0 ||
        !input_.empty())
        return false;
    const std::size_t during = nextDialogue(next);
    if (during >= records_.size() || records_[during].kind != RecordKind::PcBulk) return false;
    const std::size_t reply = nextDialogue(during);
    if (reply >= records_.size() || sentEarly_[reply] || records_[reply].kind != RecordKind::BoxBytes ||
        records_[reply].us > records_[during].us + kReplyDuringDataUs)
        return false;
    // The line's fill shows only its first few kilobytes, but it stops
    // changing once the program waits in a write (or has nothing more to say
    // before the reply): either way it has looked for replies after the data
    // before, so the reply goes now.
    const int pending = link_.pendingInput();
    if (pending != heldPending_) {
        heldPending_ = pending;
        heldSinceUs_ = nowUs;
    }
    if (!holdStartUs_) holdStartUs_ = nowUs;
    const bool caughtInside = pending > 0 && nowUs >= heldSinceUs_ + kHeldStillUs;
    if (caughtInside) sentEarly_[reply] = sawSpeed(records_[reply].baud) && writeToPc(records_[reply].bytes);
    if (caughtInside || nowUs >= *holdStartUs_ + kLongestHoldUs) {
        holdStartUs_.reset();
        heldPending_ = -1;
        return false;
    }
    return true;
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
    sendReplyDuringData(static_cast<std::size_t>(&record - records_.data()));
    const std::size_t take = std::min<std::size_t>(input_.size(), record.size - bulkTaken_);
    for (std::size_t i = 0; i < take; ++i) {
        bulkDigest_ ^= static_cast<unsigned char>(input_[i]);
        bulkDigest_ *= 1099511628211ull;
    }
    input_.erase(0, take);
    bulkTaken_ += take;
    if (bulkTaken_ < record.size) return false;
    if (bulkDigest_ != record.digest && !imageDiffersAt_) imageDiffersAt_ = record.lineNumber;
    imageBytes_ += record.size;
    ++imagePieces_;
    bulkTaken_ = 0;
    bulkDigest_ = 14695981039346656037ull;
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

// The program looks for the box's reply after each write of image data; a
// reply that came while it was writing must be waiting when the write returns.
void Replay::sendReplyDuringData(std::size_t bulkIndex) {
    const std::size_t next = nextDialogue(bulkIndex);
    if (next >= records_.size() || sentEarly_[next]) return;
    const Record& reply = records_[next];
    if (reply.kind != RecordKind::BoxBytes || reply.us > records_[bulkIndex].us + kReplyDuringDataUs) return;
    if (!sawSpeed(reply.baud)) return;  // sent in its turn, where a wrong speed is named
    sentEarly_[next] = writeToPc(reply.bytes);
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
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    return imageDiffersAt_ ? 1 : 0;
}

int Replay::run() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    const std::uint64_t startUs = platform::monotonicUs();
    const auto deadlineUs = startUs + static_cast<std::uint64_t>(options_.timeoutS * 1e6);
    lastStepUs_ = startUs;
    std::size_t next = 0;
    sentEarly_.assign(records_.size(), false);
    // The recording's clock starts with the program; ours when the program opens the line.
    bool started = false;
    std::optional<std::uint64_t> allDoneUs;
    for (;;) {
        const std::uint64_t nowUs = platform::monotonicUs();
        if (link_.isOpen()) {
            link_.readWatch(opens_, closes_);
            noteSpeed();
            if (!started || !holdingForReply(next, nowUs)) takeInput(started ? wantedBy(next) : 0);
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
        if (stopSignal != 0 || nowUs >= deadlineUs) {
            const Record& record = records_[std::min(next, records_.size() - 1)];
            std::printf("boxsim: replay: %s at line %zu of the recording\n",
                        stopSignal != 0 ? "stopped by a signal" : "gave up after the time-out", record.lineNumber);
            std::fflush(stdout);
            return 1;
        }
        pollfd fds[2];
        nfds_t count = 0;
        // Input left in the line on purpose must not wake us again and again.
        const bool wantInput = !holdStartUs_ && wantedBy(next) > input_.size();
        if (link_.isOpen() && wantInput) fds[count++] = {link_.master(), POLLIN, 0};
        if (link_.watch() >= 0) fds[count++] = {link_.watch(), POLLIN, 0};
        std::uint64_t waitUs = kLookEveryUs;
        if (next < records_.size() && records_[next].kind == RecordKind::BoxBytes) {
            const Record& record = records_[next];
            const std::uint64_t pause = record.us > lastStepTraceUs_ ? record.us - lastStepTraceUs_ : 0;
            const std::uint64_t dueUs = lastStepUs_ + pause;
            waitUs = dueUs > nowUs ? std::min<std::uint64_t>(dueUs - nowUs, 100000) : 0;
        }
        const timespec timeout{static_cast<time_t>(waitUs / 1000000), static_cast<long>(waitUs % 1000000) * 1000};
        ppoll(fds, count, &timeout, nullptr);
    }
}

}  // namespace

bool sameTimeStampForm(const std::string& recorded, const std::string& sent) {
    if (recorded.size() != 5 || sent.size() != 5) return false;
    const auto byte = [](const std::string& text, std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    for (const std::string* stamp : {&recorded, &sent}) {
        if (!isBcd(byte(*stamp, 2), 24) || !isBcd(byte(*stamp, 3), 60) || !isBcd(byte(*stamp, 4), 60)) return false;
    }
    const int recordedDay = byte(recorded, 0) * 256 + byte(recorded, 1);
    const int sentDay = byte(sent, 0) * 256 + byte(sent, 1);
    return std::abs(recordedDay - sentDay) <= 2;
}

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
    PtyLink link;
    if (const auto error = link.open(options.linkPath)) {
        std::fprintf(stderr, "boxsim: cannot publish the line at %s: %s\n", options.linkPath.c_str(), error->c_str());
        return 2;
    }
    Replay replay(options, std::move(parsed.records), link);
    return replay.run();
}

}  // namespace boxsim
