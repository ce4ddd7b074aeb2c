// The box of a recorded trace as a peer on the line. It checks what the
// program writes against the recorded steps (by content for the short
// dialogue, by length and digest for image data) and answers at the place in
// the program's stream where the recorded program read the answer: a reply
// the box gave during a write goes while the program is held inside that
// write, so it is there when the write returns; any other reply goes after
// the recorded pause, on the line's clock. Hang-ups are placed the same way,
// and the line is plugged back in when the recording has the program open it
// again. On a virtual clock a replay is exact and the same every time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "peer.h"
#include "trace/trace_format.h"  // kDigestStart
#include "trace/trace_reader.h"

namespace boxsim {

// A reply recorded this soon after image data came while the program was
// still writing them: the program read it right after that write returned.
inline constexpr std::uint64_t kReplyDuringDataUs = 20000;

struct Departure {
    std::size_t lineNumber;  // of the recording
    std::string what;
};

class ReplayPeer : public simline::Peer {
public:
    explicit ReplayPeer(std::vector<trace::Record> records);

    void receive(std::uint8_t, std::uint32_t, std::uint64_t) override {}
    void pcWrote(const std::uint8_t* bytes, std::size_t size, std::uint32_t baud, std::uint64_t nowUs) override;
    bool holdsPcWrite(std::uint64_t nowUs) const override { return nowUs < holdUntilUs_; }
    void pcOpened(std::uint64_t nowUs) override;
    std::uint64_t nextEventUs() const override;
    void onTimer(std::uint64_t nowUs) override;
    bool hungUp(std::uint64_t) const override { return hungUp_; }
    std::uint64_t pcBytesBeforeHangUp() const override;

    // Where the program first did something the recording does not show.
    const std::optional<Departure>& departure() const { return departure_; }
    // Every step of the recording played; the first one not played otherwise.
    bool finished() const { return next_ == records_.size(); }
    const trace::Record* waitingAt() const { return finished() ? nullptr : &records_[next_]; }
    std::size_t steps() const { return steps_; }
    std::uint64_t imageBytes() const { return imageBytes_; }
    std::size_t imagePieces() const { return imagePieces_; }
    // The line of the first piece of image data whose digest differed.
    std::optional<std::size_t> imageDiffersAt() const { return imageDiffersAt_; }
    // Lines of time stamps that matched by form only.
    const std::vector<std::size_t>& looseLines() const { return looseLines_; }

    // How many bytes the program had written before each record.
    std::uint64_t writtenBefore(std::size_t index) const { return writtenBefore_[index]; }
    const std::vector<trace::Record>& records() const { return records_; }
    // The recorded time of the last step played.
    std::uint64_t lastStepTraceUs() const { return anchorTraceUs_; }
    // The speed of the program's next recorded bytes, 0 if none come next.
    std::uint32_t nextPcBaud() const;
    // Whether the recording has the program open the line again after a hang-up.
    bool opensAgain() const;

    // A line that cannot hold the program inside a write (a pseudo-terminal)
    // places a reply or hang-up the program met in or right after a write of
    // image data itself: while the program is inside that write, which starts
    // after `writeStart` of its bytes; the recorded one came after `at`.
    struct InWrite {
        std::size_t index;  // of the record
        bool hangUp;
        std::uint64_t writeStart;
        std::uint64_t at;
        // The program read the box's words last before that write, and
        // nothing after them until the write returns: the first write of image
        // data, or one after the box's reply to the write before. Those words
        // have been sent.
        bool afterWords;
        bool firstWrite;
    };
    // The next such reply or hang-up, when only image data and other such
    // replies come before it and the peer has not been told of its place yet.
    std::optional<InWrite> nextInWrite() const;
    // Sends that reply now, ahead of the rest of its write.
    void sendReplyNow(std::uint64_t nowUs);
    // Drops the line now, before its recorded place (the write it cut is
    // counted as differing image data).
    void dropLineNow(std::uint64_t nowUs);
    // Bytes of the program's stream the peer has been told of.
    std::uint64_t written() const { return written_; }
    // How many more of the program's bytes the next step takes; after the
    // recording's end a few, to see what more came; 0 while it is the box's turn.
    std::uint64_t wantedNow() const;
    // The line of the reply sent last.
    std::size_t lastReplyLine() const { return lastReplyLine_; }

private:
    void play(std::uint64_t nowUs);
    bool step(const trace::Record& record, std::uint64_t nowUs);
    bool takePcBytes(const trace::Record& record);
    bool takePcBulk(const trace::Record& record);
    bool sendReply(const trace::Record& record, std::uint64_t nowUs);
    bool dropLine(const trace::Record& record, std::uint64_t nowUs);
    std::uint64_t dueUs(const trace::Record& record) const;
    void depart(const trace::Record& record, std::string what);
    void noteStep(const trace::Record& record, std::uint64_t atUs);

    std::vector<trace::Record> records_;
    std::vector<std::uint64_t> writtenBefore_;
    std::vector<bool> duringWrite_;  // a reply or hang-up the program met right after a write
    std::vector<bool> sentEarly_;    // a reply already sent by sendReplyNow

    std::size_t next_ = 0;
    std::size_t lastReplyLine_ = 0;
    std::uint64_t written_ = 0;  // by the program, in all
    std::string input_;  // written by the program, not yet taken by a step
    std::vector<std::pair<std::size_t, std::uint32_t>> inputBauds_;  // runs of input_ and their speed
    bool inWrite_ = false;  // inside pcWrote: a reply during the write may go now
    std::uint64_t bulkTaken_ = 0;
    std::uint64_t bulkDigest_ = trace::kDigestStart;

    std::uint64_t anchorTraceUs_ = 0;  // the recorded time of the last step played
    std::uint64_t anchorUs_ = 0;       // and when it was played here
    std::uint64_t lineFreeUs_ = 0;     // when the last byte sent to the PC arrives
    std::uint64_t holdUntilUs_ = 0;  // 0: the program's write is not held
    bool hungUp_ = false;
    int opens_ = 0;        // the program's opens so far
    int opensPlayed_ = 0;  // the recording's

    std::optional<Departure> departure_;
    std::size_t steps_ = 0;
    std::uint64_t imageBytes_ = 0;
    std::size_t imagePieces_ = 0;
    std::optional<std::size_t> imageDiffersAt_;
    std::vector<std::size_t> looseLines_;
};

// A dated box's time stamp (5 bytes: date, then hour, minute, second in BCD)
// differs from run to run: the same form and a date at most two days apart match.
bool sameTimeStampForm(const std::string& recorded, const std::string& sent);

}  // namespace boxsim
