// Carries one far end of the line (the box model, the box of a recorded
// trace) over the pseudo-terminal on the real clock. The engine owns the one
// loop: it takes the program's opens and closes off the watch, lets the far
// end do what is due, stops at a stop signal or the time-out, and waits on the
// line (the watch, the master when the far end takes input) until the far
// end's next moment; the stop signals arrive only in that wait. It carries the
// far end's bytes to the program (PcOutput), decides when a hung-up line may
// drop, drops it as a pulled cable does and plugs it back.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "far_end_transmitter.h"
#include "peer.h"
#include "pty_link.h"

namespace boxsim {

// Times the engine waits by; the line raises no event for any of them.
//
// The program's speed, the line's fill and the program's reads raise no event
// on the master, so they are looked at this often: the line fills within
// milliseconds of the program's writes, and the replay must see it full while
// the program still waits inside the write it holds; 200 looks a second cost
// next to nothing.
inline constexpr std::uint64_t kLookAgainUs = 5000;
// After the last step the program still closes the line and ends, and a busy
// machine may hold it back for long; waiting longer only delays the end of a
// run whose program stays.
inline constexpr std::uint64_t kLeaveGraceUs = 2000000;
// The program may still read what came before the line dropped: without a
// watch on the slave its close cannot be seen, so it gets this long.
inline constexpr std::uint64_t kHangUpGraceUs = 1000000;
// A program that does not read leaves the master full: its reads make no
// event on the master, so the write is tried again this much later, about
// the time 64 bytes take at 115200 baud.
inline constexpr std::uint64_t kRetryWriteUs = 5000;
// Bytes are carried in batches at most this often: one wake-up per byte at
// full speed would cost more than the pty can show to the program.
inline constexpr std::uint64_t kLeastSleepUs = 1000;

// The far end's bytes that have crossed the line (the line engine says when),
// handed to the master as the program hears them at the speed it listens at
// now. It never waits on the line: what a full master does not take goes at
// the next try.
class PcOutput {
public:
    using Byte = simline::FarEndTransmitter::Byte;
    // Told of each byte the master took, with the speed the program listened at.
    using Written = std::function<void(const Byte&, std::uint32_t listeningBaud)>;

    explicit PcOutput(PtyLink& link) : link_(link) {}

    // A byte that has arrived at the PC's end of the line.
    void arrived(const Byte& byte) { queue_.push_back(byte); }
    // Bytes written at once, ahead of their crossing time: a reply that must
    // be in the program's way before it can return from its write. false: the
    // line took them not all; the rest goes with the next carry().
    bool sendNow(const std::vector<simline::Peer::Transmission>& transmissions, std::uint64_t nowUs);
    // Writes what has arrived. With holdAtOtherSpeed, a byte sent at another
    // speed than the program listens at waits (with what follows) instead of
    // going garbled. false: the line is gone (not a full master).
    bool carry();
    void holdAtOtherSpeed(bool hold) { holdAtOtherSpeed_ = hold; }
    void onWritten(Written written) { written_ = std::move(written); }

    // Every byte that arrived has been written to the master.
    bool delivered() const { return queue_.empty(); }
    // The first byte not written yet: sent at, listened at.
    struct Waiting {
        std::uint32_t sentBaud;
        std::uint32_t listeningBaud;
    };
    std::optional<Waiting> firstWaiting() const;
    // When the next carry() has something to do, or kNoEvent.
    std::uint64_t wakeUs(std::uint64_t nowUs) const;
    // Forgets what has not been written.
    void reset() { queue_.clear(); }

private:
    std::uint32_t listeningBaud() const;

    PtyLink& link_;
    std::deque<Byte> queue_;
    bool holdAtOtherSpeed_ = false;
    Written written_;
};

class PtyEngine {
public:
    // The far end's part of each turn of the loop. Times are the monotonic clock's.
    class Side {
    public:
        virtual ~Side() = default;
        enum class Turn { Wait, Again, Over };
        // Does what is due at nowUs. Again: look once more at once; Over: the
        // run is done and ends with status().
        virtual Turn turn(std::uint64_t nowUs) = 0;
        virtual int status() const = 0;
        // A stop signal came or the time ran out: says where the run was; the exit status.
        virtual int stopped(bool bySignal, std::uint64_t nowUs) = 0;
        // When to look again at the latest, and whether the program's next bytes should wake us.
        virtual std::uint64_t wakeUs(std::uint64_t nowUs) const = 0;
        virtual bool wantsInput(std::uint64_t nowUs) const = 0;
    };

    PtyEngine(PtyLink& link, std::string linkPath) : link_(link), linkPath_(std::move(linkPath)), output_(link) {}

    // Runs the loop until the far end is over, a stop signal comes or timeoutS have passed.
    int run(Side& side, double timeoutS);

    // The program's opens and closes of the line seen so far, since it was last published.
    int opens() const { return opens_; }
    int closes() const { return closes_; }
    // Takes the watch's events now (the loop does at each turn).
    void readWatch() { link_.readWatch(opens_, closes_); }

    // The far end's bytes toward the program, once they have crossed.
    PcOutput& output() { return output_; }
    const PcOutput& output() const { return output_; }

    // The far end has hung up: whether the line may drop now. It does once
    // the far end's last words are all written (the Side knows that nothing
    // more is on its way) and the program has taken
    // them or gone on without them (sent more, changed the line's settings,
    // let the line go), so that the program meets the dead line at its next
    // step however busy the machine. Without a watch on the slave a close
    // cannot be seen, and the program gets kHangUpGraceUs instead.
    // movesOnFirst: the program speaks next here, and the line drops only
    // once it has; heldInput: the far end holds bytes of the program's it has
    // not taken. Asked at each turn until the line drops.
    bool readyToHangUp(std::uint64_t nowUs, bool movesOnFirst = false, bool heldInput = false);

    // For the far end's hang-up: forgets what was not written, drops the line
    // and, with again, publishes a fresh one at the path. An error text when
    // the new line cannot be published.
    std::optional<std::string> hangUp(bool again);

private:
    // Drops the line; a program on it meets a dead line at its next call.
    void dropLine();
    // Publishes a fresh line at the same path, as a cable plugged back in. An error text on failure.
    std::optional<std::string> plugBack();
    std::uint64_t wakeUs(const Side& side, std::uint64_t nowUs) const;

    PtyLink& link_;
    const std::string linkPath_;
    int opens_ = 0;
    int closes_ = 0;
    PcOutput output_;
    std::optional<std::uint64_t> hangingUpSinceUs_;
    std::optional<PcLineSettings> settingsAtHangUp_;
};

}  // namespace boxsim
