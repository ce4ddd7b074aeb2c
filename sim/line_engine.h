// The serial line between the PC and a far end (the box model, the box of a
// recorded trace, a scripted peer), on whichever clock its caller keeps: the
// tests' simulated platform jumps a virtual clock from event to event; boxsim
// follows the real one over a pseudo-terminal. Either way the engine runs the
// line's events in time order: the PC's bytes cross one at a time, ten bit
// times each at the speed the PC sent them at; the far end's timers fire; what
// the far end transmits crosses back and arrives at the PC. Where the PC's
// bytes come from and where the far end's go is the PC end's business.
#pragma once

#include <cstdint>
#include <optional>

#include "far_end_transmitter.h"
#include "peer.h"

namespace simline {

// One of the PC's bytes on the wire.
struct PcByte {
    std::uint8_t value;
    std::uint32_t baud;    // sent at
    std::uint64_t doneUs;  // when its last bit has arrived
    // It left behind CTS (the handshake in force): the far end's UART takes it
    // even if the far end stops taking data while it crosses.
    bool behindCts;
};

class LineEngine {
public:
    class PcEnd {
    public:
        virtual ~PcEnd() = default;
        struct Start {
            std::uint8_t value;
            std::uint32_t baud;
            std::uint64_t atUs;  // no earlier than asked
            bool behindCts;
        };
        // The PC's next byte, if one may start onto the wire at atUs;
        // farEndReady says whether the far end takes data (CTS).
        virtual std::optional<Start> nextByte(std::uint64_t atUs, bool farEndReady) = 0;
        // A byte of the far end's has arrived at the PC.
        virtual void arrived(const FarEndTransmitter::Byte& byte) = 0;
        // A byte of the PC's has crossed: taken by the far end, or lost on
        // a far end that took no data.
        virtual void crossed(const PcByte& byte, bool taken) {
            (void)byte;
            (void)taken;
        }
        // After every call into the far end, with what it queued already taken.
        virtual void afterPeerCall(std::uint64_t atUs) { (void)atUs; }
    };

    // instant: bytes cross in no time (boxsim --full-speed).
    LineEngine(PcEnd& pc, bool instant = false) : pc_(pc), toPc_(instant), instant_(instant) {}

    // The far end on the line from nowUs on, with nothing in flight; null: none.
    void attach(Peer* peer, std::uint64_t nowUs);
    Peer* peer() const { return peer_; }

    std::uint64_t nowUs() const { return nowUs_; }
    // Runs every event up to and including targetUs in time order, then sets the clock there.
    void advanceTo(std::uint64_t targetUs);
    // The earliest event still to come, kNoEvent if none.
    std::uint64_t nextEventUs() const;

    // The PC has a byte ready (a write, CTS back): it starts now if the wire is free.
    void startPcByte();
    // The PC's port changed speed: the byte on the wire is garbled.
    void pcSpeedChanged(std::uint32_t baud);
    // Takes what the far end queued outside the engine's own calls (an open, a
    // write told of) onto the line, at the engine's clock.
    void collect();

    bool farEndHungUp() const { return peer_ == nullptr || peer_->hungUp(nowUs_); }
    const std::optional<PcByte>& pcByteOnWire() const { return toPeer_; }
    // The far end's bytes on their way to the PC.
    const FarEndTransmitter& toPc() const { return toPc_; }
    bool instant() const { return instant_; }

private:
    void deliver();

    PcEnd& pc_;
    Peer* peer_ = nullptr;
    std::uint64_t nowUs_ = 0;
    std::optional<PcByte> toPeer_;
    FarEndTransmitter toPc_;
    bool instant_;
};

}  // namespace simline
