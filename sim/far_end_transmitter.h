// The far end's side of the line toward the PC, on a clock the caller keeps
// (the virtual one of the tests' simulated line, the real one of boxsim over a
// pseudo-terminal): what a peer transmits crosses the line byte after byte,
// ten bit times each at the speed it was sent at, and a PC listening at
// another speed hears it garbled.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "line.h"
#include "peer.h"

namespace simline {

// What a PC listening at `listeningBaud` hears of a byte sent at `sentBaud`.
inline std::uint8_t heard(std::uint8_t byte, std::uint32_t sentBaud, std::uint32_t listeningBaud) {
    return sentBaud == listeningBaud ? byte : garble(byte, sentBaud, listeningBaud);
}

class FarEndTransmitter {
public:
    struct Byte {
        std::uint8_t value;
        std::uint32_t baud;   // sent at
        std::uint64_t doneUs;  // when its last bit has arrived
    };

    // instant: bytes arrive as they are sent (boxsim --full-speed).
    FarEndTransmitter() = default;
    explicit FarEndTransmitter(bool instant) : instant_(instant) {}

    // Queues what the peer transmitted at nowUs behind what is still on its
    // way. Bytes sent together reach the PC's reads together, once the last
    // has crossed.
    void send(const std::vector<Peer::Transmission>& transmissions, std::uint64_t nowUs) {
        for (const auto& transmission : transmissions) {
            const std::size_t first = queue_.size();
            for (const std::uint8_t value : transmission.bytes) {
                const std::uint64_t start = std::max(nowUs, freeUs_);
                freeUs_ = start + (instant_ ? 0 : byteTimeUs(transmission.baud));
                queue_.push_back({value, transmission.baud, freeUs_});
            }
            if (transmission.together)
                for (std::size_t i = first; i < queue_.size(); ++i) queue_[i].doneUs = freeUs_;
        }
    }

    // Queues bytes that have arrived by nowUs already, as soon as what is
    // ahead of them has: a reply the caller must have in the program's way at once.
    void sendArrived(const std::vector<Peer::Transmission>& transmissions, std::uint64_t nowUs) {
        const std::uint64_t doneUs = std::max(nowUs, queue_.empty() ? 0 : queue_.back().doneUs);
        for (const auto& transmission : transmissions)
            for (const std::uint8_t value : transmission.bytes) queue_.push_back({value, transmission.baud, doneUs});
        freeUs_ = std::max(freeUs_, doneUs);
    }

    bool empty() const { return queue_.empty(); }
    // When the next byte has arrived, or kNoEvent.
    std::uint64_t nextArrivalUs() const { return queue_.empty() ? kNoEvent : queue_.front().doneUs; }
    // How many of the queued bytes have arrived by nowUs (at most `most`).
    std::size_t arrived(std::uint64_t nowUs, std::size_t most = SIZE_MAX) const {
        std::size_t count = 0;
        while (count < queue_.size() && count < most && queue_[count].doneUs <= nowUs) ++count;
        return count;
    }
    const Byte& at(std::size_t index) const { return queue_[index]; }
    Byte pop() {
        const Byte byte = queue_.front();
        queue_.pop_front();
        return byte;
    }
    // Forgets what is on its way; the line is free from nowUs on.
    void reset(std::uint64_t nowUs) {
        queue_.clear();
        freeUs_ = nowUs;
    }

private:
    bool instant_ = false;
    std::uint64_t freeUs_ = 0;
    std::deque<Byte> queue_;
};

}  // namespace simline
