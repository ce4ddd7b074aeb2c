// The far end of the serial line as the line sees it: bytes in, bytes out,
// timed actions. The box model is one; boxsim carries it over a pty and the
// simulated platform of the tests over an in-process line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace simline {

inline constexpr std::uint64_t kNoEvent = UINT64_MAX;

// Microseconds one byte (start bit, 8 data bits, stop bit) takes on the line.
inline std::uint64_t byteTimeUs(std::uint32_t baud) { return baud == 0 ? 0 : (10'000'000ull + baud - 1) / baud; }

// The far end of the line. The line calls it in time order; the peer answers
// by queueing bytes with transmit(), which the line then carries to the PC at
// the given speed, one after the other.
class Peer {
public:
    virtual ~Peer() = default;

    // A byte from the PC has arrived completely at nowUs; the PC sent it at
    // pcBaud (the peer garbles it itself if it listens at another speed).
    virtual void receive(std::uint8_t byte, std::uint32_t pcBaud, std::uint64_t nowUs) = 0;

    // false while the peer takes no data (its receive buffer is full, it is
    // busy programming): the PC's bytes wait on the line and its writes stall.
    virtual bool acceptsInput(std::uint64_t nowUs) const {
        (void)nowUs;
        return true;
    }

    // The next moment the peer acts by itself (a timed reply, the end of
    // programming), or kNoEvent. The line calls onTimer once that time comes.
    virtual std::uint64_t nextEventUs() const { return kNoEvent; }
    virtual void onTimer(std::uint64_t nowUs) { (void)nowUs; }

    // true once the peer has hung up the line: reads and writes fail with platform::kErrorOperationAborted
    // (EIO on POSIX), as a pulled cable does.
    // A peer that hangs up at a set time makes that time one of its events.
    virtual bool hungUp(std::uint64_t nowUs) const {
        (void)nowUs;
        return false;
    }

    // Only a replay needs these: a trace records the program's calls,
    // not what crossed the line, so a recorded box answers by the program's
    // position in its own stream.
    // The program's write has handed `size` bytes to the line, the port at `baud`.
    virtual void pcWrote(const std::uint8_t* bytes, std::size_t size, std::uint32_t baud, std::uint64_t nowUs) {
        (void)bytes;
        (void)size;
        (void)baud;
        (void)nowUs;
    }
    // true while the peer keeps the program inside the write it was last told
    // of, as the flow control of a line holds it: a reply the box gave during
    // that write is then there when it returns. A hold ends at one of the
    // peer's events.
    virtual bool holdsPcWrite(std::uint64_t nowUs) const {
        (void)nowUs;
        return false;
    }
    // How many more of the program's bytes the line takes before the peer
    // hangs up (it does once told of them), or kNoEvent.
    virtual std::uint64_t pcBytesBeforeHangUp() const { return kNoEvent; }
    // The program has opened the line (again: a hung-up line is plugged back in then).
    virtual void pcOpened(std::uint64_t nowUs) { (void)nowUs; }

    struct Transmission {
        std::vector<std::uint8_t> bytes;
        std::uint32_t baud;
        // The bytes reach the PC's reads together, when the last has crossed
        // the line, as an adapter hands on a packet: a recorded read is
        // replayed as the program read it.
        bool together = false;
    };
    // The line takes what the peer queued after every call into it.
    std::vector<Transmission> takeOutbox() {
        std::vector<Transmission> out;
        out.swap(outbox_);
        return out;
    }

protected:
    void transmit(std::string_view bytes, std::uint32_t baud, bool together = false) {
        outbox_.push_back({std::vector<std::uint8_t>(bytes.begin(), bytes.end()), baud, together});
    }

private:
    std::vector<Transmission> outbox_;
};

}  // namespace simline
