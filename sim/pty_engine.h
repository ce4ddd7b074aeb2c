// Carries one far end of the line (the box model, the box of a recorded
// trace) over the pseudo-terminal on the real clock. The engine owns the one
// loop: it takes the program's opens and closes off the watch, lets the far
// end do what is due, stops at a stop signal or the time-out, and waits on the
// line (the watch, the master when the far end takes input) until the far
// end's next moment; the stop signals arrive only in that wait. It also drops
// the line as a pulled cable does and plugs it back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "pty_link.h"

namespace boxsim {

// The program may still read what came before the line dropped: without a
// watch on the slave its close cannot be seen, so it gets this long.
inline constexpr std::uint64_t kHangUpGraceUs = 1000000;

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

    PtyEngine(PtyLink& link, std::string linkPath) : link_(link), linkPath_(std::move(linkPath)) {}

    // Runs the loop until the far end is over, a stop signal comes or timeoutS have passed.
    int run(Side& side, double timeoutS);

    // The program's opens and closes of the line seen so far, since it was last published.
    int opens() const { return opens_; }
    int closes() const { return closes_; }
    // Takes the watch's events now (the loop does at each turn).
    void readWatch() { link_.readWatch(opens_, closes_); }

    // Drops the line; a program on it meets a dead line at its next call.
    void dropLine();
    // Publishes a fresh line at the same path, as a cable plugged back in. An error text on failure.
    std::optional<std::string> plugBack();

private:
    PtyLink& link_;
    const std::string linkPath_;
    int opens_ = 0;
    int closes_ = 0;
};

}  // namespace boxsim
