#include "replay_peer.h"

#include <algorithm>
#include <cstdlib>

#include "trace/trace_format.h"

namespace boxsim {

namespace {

using trace::Record;
using trace::RecordKind;

// The program notices a dropped line at its next call; the line drops no
// sooner than this after what came before it has arrived, so that the call
// which took those bytes still succeeds.
constexpr std::uint64_t kLeastPauseBeforeHangUpUs = 100;
// After the recording's end: enough of the program's bytes to show what more came.
constexpr std::uint64_t kLookBeyondEnd = 64;

bool isBcd(std::uint8_t value, int limit) {
    return (value >> 4) < 10 && (value & 0x0F) < 10 && ((value >> 4) * 10 + (value & 0x0F)) < limit;
}

std::string quoted(const std::string& bytes) {
    std::string out;
    trace::appendQuoted(out, bytes.size() > 40 ? bytes.substr(0, 40) : bytes);
    if (bytes.size() > 40) out += "...";
    return out;
}

bool isDialogue(RecordKind kind) {
    return kind == RecordKind::PcBytes || kind == RecordKind::PcBulk || kind == RecordKind::BoxBytes ||
           kind == RecordKind::HangUp;
}

}  // namespace

ReplayPeer::ReplayPeer(std::vector<Record> records)
    : records_(std::move(records)), writtenBefore_(records_.size(), 0), duringWrite_(records_.size(), false),
      sentEarly_(records_.size(), false) {
    std::uint64_t written = 0;
    for (std::size_t i = 0; i < records_.size(); ++i) {
        writtenBefore_[i] = written;
        if (records_[i].kind == RecordKind::PcBytes) written += records_[i].bytes.size();
        if (records_[i].kind == RecordKind::PcBulk) written += records_[i].size;
    }
    // A reply (or hang-up) the program met right after a write of image data:
    // between two such writes it can only have been read right after the
    // first (the program reads once after each write, without waiting; a late
    // time there means it was kept from running); after the last, only if it
    // was read at once.
    for (std::size_t i = 0; i < records_.size(); ++i) {
        const RecordKind kind = records_[i].kind;
        if (kind != RecordKind::BoxBytes && kind != RecordKind::HangUp) continue;
        std::size_t before = i;
        while (before > 0 && records_[before - 1].kind == RecordKind::Note) --before;
        if (before == 0 || records_[before - 1].kind != RecordKind::PcBulk) continue;
        std::size_t after = i + 1;
        while (after < records_.size() && records_[after].kind == RecordKind::Note) ++after;
        const bool writeFollows = after < records_.size() && records_[after].kind == RecordKind::PcBulk;
        duringWrite_[i] = writeFollows || records_[i].us <= records_[before - 1].us + kReplyDuringDataUs;
    }
}

void ReplayPeer::pcOpened(std::uint64_t nowUs) {
    ++opens_;
    play(nowUs);
}

void ReplayPeer::pcWrote(const std::uint8_t* bytes, std::size_t size, std::uint32_t baud, std::uint64_t nowUs) {
    if (departure_) return;
    written_ += size;
    input_.append(reinterpret_cast<const char*>(bytes), size);
    inputBauds_.push_back({size, baud});
    inWrite_ = true;
    play(nowUs);
    inWrite_ = false;
    if (finished() && !input_.empty() && !departure_)
        depart(records_.back(), "the PC sent " + quoted(input_) + " after the recording's end");
}

// A hang-up the program met in or right after a write ends that write where
// the recorded one ended: a write cut short by it shows as its first bytes.
std::uint64_t ReplayPeer::pcBytesBeforeHangUp() const {
    if (departure_) return simline::kNoEvent;
    for (std::size_t i = next_; i < records_.size(); ++i) {
        const RecordKind kind = records_[i].kind;
        if (kind == RecordKind::Note || kind == RecordKind::PcBulk || kind == RecordKind::PcBytes) continue;
        if (kind != RecordKind::HangUp || !duringWrite_[i] || writtenBefore_[i] <= written_) break;
        return writtenBefore_[i] - written_;
    }
    return simline::kNoEvent;
}

std::uint64_t ReplayPeer::nextEventUs() const {
    std::uint64_t next = simline::kNoEvent;
    if (holdUntilUs_ != 0) next = holdUntilUs_;  // the end of a hold
    if (departure_ || finished()) return next;
    const Record& record = records_[next_];
    if (record.kind == RecordKind::BoxBytes || record.kind == RecordKind::HangUp) next = std::min(next, dueUs(record));
    return next;
}

void ReplayPeer::onTimer(std::uint64_t nowUs) {
    if (nowUs >= holdUntilUs_) holdUntilUs_ = 0;
    play(nowUs);
}

void ReplayPeer::play(std::uint64_t nowUs) {
    while (!departure_ && next_ < records_.size()) {
        if (!step(records_[next_], nowUs)) break;
        ++next_;
    }
}

bool ReplayPeer::step(const Record& record, std::uint64_t nowUs) {
    switch (record.kind) {
        case RecordKind::PcBytes:
            if (!takePcBytes(record)) return false;
            noteStep(record, nowUs);
            return true;
        case RecordKind::PcBulk:
            if (!takePcBulk(record)) return false;
            noteStep(record, nowUs);
            return true;
        case RecordKind::BoxBytes: return sendReply(record, nowUs);
        case RecordKind::HangUp: return dropLine(record, nowUs);
        case RecordKind::Open:
            // A recorded open that failed needs no open here: the line was
            // there all along, and the program's next open is the one that
            // succeeded.
            if (record.detail.find(" failed") != std::string::npos) return true;
            if (opens_ <= opensPlayed_) return false;
            ++opensPlayed_;
            hungUp_ = false;  // the cable is plugged back in
            anchorTraceUs_ = record.us;
            anchorUs_ = nowUs;
            return true;
        default: return true;  // settings, closes, notes: nothing for the box to do
    }
}

// The reply goes at its recorded place: during the write the program read it
// after, holding the program in that write until it has arrived; otherwise
// so that it arrives after the recorded pause.
bool ReplayPeer::sendReply(const Record& record, std::uint64_t nowUs) {
    const std::size_t index = static_cast<std::size_t>(&record - records_.data());
    if (sentEarly_[index]) {
        noteStep(record, std::max(lineFreeUs_, nowUs));
        return true;
    }
    if (!(duringWrite_[index] && inWrite_) && nowUs < dueUs(record)) return false;
    lastReplyLine_ = record.lineNumber;
    transmit(record.bytes, record.baud, true);  // as the program read it: at once
    lineFreeUs_ = std::max(lineFreeUs_, nowUs) + record.bytes.size() * simline::byteTimeUs(record.baud);
    if (duringWrite_[index] && inWrite_) holdUntilUs_ = lineFreeUs_;
    noteStep(record, lineFreeUs_);
    return true;
}

bool ReplayPeer::dropLine(const Record& record, std::uint64_t nowUs) {
    const std::size_t index = static_cast<std::size_t>(&record - records_.data());
    if (!(duringWrite_[index] && inWrite_) && nowUs < dueUs(record)) return false;
    hungUp_ = true;
    holdUntilUs_ = 0;
    noteStep(record, nowUs);
    return true;
}

std::uint64_t ReplayPeer::wantedNow() const {
    if (departure_) return 0;
    if (finished()) return input_.size() < kLookBeyondEnd ? kLookBeyondEnd - input_.size() : 0;
    const Record& record = records_[next_];
    std::uint64_t wanted = 0;
    if (record.kind == RecordKind::PcBytes) wanted = record.bytes.size();
    if (record.kind == RecordKind::PcBulk) wanted = record.size - bulkTaken_;
    return wanted > input_.size() ? wanted - input_.size() : 0;
}

std::uint32_t ReplayPeer::nextPcBaud() const {
    for (std::size_t i = next_; i < records_.size(); ++i) {
        const RecordKind kind = records_[i].kind;
        if (kind == RecordKind::PcBytes || kind == RecordKind::PcBulk) return records_[i].baud;
        if (kind == RecordKind::BoxBytes || kind == RecordKind::HangUp) return 0;
    }
    return 0;
}

bool ReplayPeer::opensAgain() const {
    return std::any_of(records_.begin() + static_cast<std::ptrdiff_t>(next_), records_.end(),
                       [](const Record& later) { return later.kind == RecordKind::Open; });
}

std::optional<ReplayPeer::InWrite> ReplayPeer::nextInWrite() const {
    if (departure_) return std::nullopt;
    for (std::size_t i = next_; i < records_.size(); ++i) {
        const RecordKind kind = records_[i].kind;
        if (kind == RecordKind::Note || kind == RecordKind::PcBulk) continue;
        if (kind == RecordKind::BoxBytes && sentEarly_[i]) continue;
        if ((kind != RecordKind::BoxBytes && kind != RecordKind::HangUp) || !duringWrite_[i] ||
            written_ >= writtenBefore_[i])
            return std::nullopt;
        std::size_t during = i;
        while (records_[during - 1].kind == RecordKind::Note) --during;
        --during;  // the write of image data it came during
        InWrite in{i, kind == RecordKind::HangUp, writtenBefore_[during], writtenBefore_[i], false, false};
        // What the program read last before that write: the box's words,
        // after a write of image data (its reply to it) or before the first.
        std::size_t words = during;
        while (words > 0 && records_[words - 1].kind == RecordKind::Note) --words;
        std::size_t before = words;
        while (before > 0 && (records_[before - 1].kind == RecordKind::Note ||
                              records_[before - 1].kind == RecordKind::BoxBytes))
            --before;
        const bool writeBefore = before > 0 && records_[before - 1].kind == RecordKind::PcBulk;
        in.firstWrite = !writeBefore;
        in.afterWords = writeBefore && words > 0 && records_[words - 1].kind == RecordKind::BoxBytes &&
                        (words - 1 < next_ || sentEarly_[words - 1]);
        return in;
    }
    return std::nullopt;
}

void ReplayPeer::sendReplyNow(std::uint64_t nowUs) {
    const auto in = nextInWrite();
    if (!in || in->hangUp) return;
    const Record& record = records_[in->index];
    lastReplyLine_ = record.lineNumber;
    transmit(record.bytes, record.baud, true);
    lineFreeUs_ = std::max(lineFreeUs_, nowUs) + record.bytes.size() * simline::byteTimeUs(record.baud);
    sentEarly_[in->index] = true;
}

void ReplayPeer::dropLineNow(std::uint64_t nowUs) {
    const auto in = nextInWrite();
    if (!in || !in->hangUp) return;
    // The write it cut has come only in part.
    for (; next_ < in->index; ++next_)
        if (records_[next_].kind == RecordKind::PcBulk && !imageDiffersAt_) imageDiffersAt_ = records_[next_].lineNumber;
    input_.clear();
    inputBauds_.clear();
    bulkTaken_ = 0;
    bulkDigest_ = trace::kDigestStart;
    hungUp_ = true;
    holdUntilUs_ = 0;
    noteStep(records_[next_], nowUs);
    ++next_;
    play(nowUs);
}

std::uint64_t ReplayPeer::dueUs(const Record& record) const {
    // The program notices a hang-up only at its next call on the line, so
    // the recorded time is late: the line drops once what came before has
    // arrived, as the box's did, and the program's next call meets it.
    if (record.kind == RecordKind::HangUp) return std::max(anchorUs_, lineFreeUs_) + kLeastPauseBeforeHangUpUs;
    const std::uint64_t pause = record.us > anchorTraceUs_ ? record.us - anchorTraceUs_ : 0;
    // The recorded time is when the program read the reply: it arrives then.
    const std::uint64_t crossing = record.bytes.size() * simline::byteTimeUs(record.baud);
    const std::uint64_t arrival = anchorUs_ + pause;
    return arrival > anchorUs_ + crossing ? arrival - crossing : anchorUs_;
}

void ReplayPeer::noteStep(const Record& record, std::uint64_t atUs) {
    if (isDialogue(record.kind)) ++steps_;
    anchorTraceUs_ = record.us;
    anchorUs_ = atUs;
}

void ReplayPeer::depart(const Record& record, std::string what) {
    departure_ = Departure{record.lineNumber, std::move(what)};
    // The line drops, so that the program's run ends at once.
    hungUp_ = true;
    holdUntilUs_ = 0;
}

// Takes `size` bytes of input_; the speed they were written at, if it was
// not `baud` throughout, else 0.
namespace {
std::uint32_t takeInput(std::string& input, std::vector<std::pair<std::size_t, std::uint32_t>>& bauds,
                        std::size_t size, std::uint32_t baud) {
    std::uint32_t other = 0;
    input.erase(0, size);
    while (size > 0 && !bauds.empty()) {
        auto& run = bauds.front();
        if (run.second != baud && other == 0) other = run.second;
        const std::size_t used = std::min(size, run.first);
        run.first -= used;
        size -= used;
        if (run.first == 0) bauds.erase(bauds.begin());
    }
    return other;
}
}  // namespace

bool ReplayPeer::takePcBytes(const Record& record) {
    const std::string& wanted = record.bytes;
    if (input_.size() < wanted.size()) {
        // Only a time stamp may differ; anything else departs at its first wrong byte.
        const std::size_t compared = input_.size();
        if (wanted.size() != 5 && input_.compare(0, compared, wanted, 0, compared) != 0)
            depart(record, "the PC sent " + quoted(input_) + " where the recording has " + quoted(wanted));
        return false;
    }
    const std::string sent = input_.substr(0, wanted.size());
    if (sent != wanted) {
        if (!sameTimeStampForm(wanted, sent)) {
            depart(record, "the PC sent " + quoted(sent) + " where the recording has " + quoted(wanted));
            return false;
        }
        looseLines_.push_back(record.lineNumber);
    }
    if (const std::uint32_t other = takeInput(input_, inputBauds_, wanted.size(), record.baud); other != 0) {
        depart(record, "the PC sent at " + std::to_string(other) + " baud where the recording has " +
                           std::to_string(record.baud));
        return false;
    }
    return true;
}

bool ReplayPeer::takePcBulk(const Record& record) {
    if (input_.empty()) return false;
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(input_.size(), record.size - bulkTaken_));
    bulkDigest_ = trace::digestOf(input_.data(), take, bulkDigest_);
    if (const std::uint32_t other = takeInput(input_, inputBauds_, take, record.baud); other != 0) {
        depart(record, "the PC sent image data at " + std::to_string(other) + " baud where the recording has " +
                           std::to_string(record.baud));
        return false;
    }
    bulkTaken_ += take;
    if (bulkTaken_ < record.size) return false;
    if (bulkDigest_ != record.digest && !imageDiffersAt_) imageDiffersAt_ = record.lineNumber;
    imageBytes_ += record.size;
    ++imagePieces_;
    bulkTaken_ = 0;
    bulkDigest_ = trace::kDigestStart;
    return true;
}

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

}  // namespace boxsim
