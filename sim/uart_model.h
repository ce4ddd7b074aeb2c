// The PC's side of a real serial line on a virtual clock: the system's
// transmit buffer, the UART's FIFO and its shift register, the CTS line and a
// driver that may drop the hardware handshake. A pseudo-terminal has none of
// these and forgives what they punish: a speed change garbles the byte on the
// wire and sends what is still queued at the new speed; output behind a low
// CTS stays queued; a drain that counts the buffer says "empty" while the FIFO
// still holds bytes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "peer.h"  // byteTimeUs

namespace simline {

class UartModel {
public:
    struct Options {
        std::size_t bufferBytes = 4096;  // the system's buffer, the one TIOCOUTQ counts
        std::size_t fifoBytes = 16;      // the UART's, which no drain counts
        bool driverKeepsHandshake = true;  // false: CRTSCTS is accepted and dropped
    };

    // A byte as it left the wire: the speed it went out at, garbled when the
    // speed changed while it was going out.
    struct Sent {
        std::uint8_t byte;
        std::uint32_t baud;
        bool garbled;
        std::uint64_t doneUs;
    };

    UartModel() = default;
    explicit UartModel(Options options) : options_(options) {}

    std::uint32_t baud() const { return baud_; }
    bool handshakeInForce() const { return handshake_; }
    bool clearToSend() const { return cts_; }

    void setSpeed(std::uint32_t baud, std::uint64_t nowUs) {
        advanceTo(nowUs);
        if (baud != baud_ && wire_) wire_->garbled = true;
        baud_ = baud;
    }
    void setHandshake(bool on, std::uint64_t nowUs) {
        advanceTo(nowUs);
        handshake_ = on && options_.driverKeepsHandshake;
    }
    void setClearToSend(bool on, std::uint64_t nowUs) {
        advanceTo(nowUs);
        cts_ = on;
        startNext(nowUs);
    }

    // Takes what fits into the buffer; returns how many bytes it took.
    std::size_t write(const std::uint8_t* bytes, std::size_t size, std::uint64_t nowUs) {
        advanceTo(nowUs);
        std::size_t taken = 0;
        while (taken < size && buffer_.size() < options_.bufferBytes) buffer_.push_back(bytes[taken++]);
        refill();
        startNext(nowUs);
        return taken;
    }

    // The system's buffer and the FIFO are emptied; the byte on the wire goes on.
    void flushOutput() {
        buffer_.clear();
        fifo_.clear();
    }

    std::size_t bufferQueued() const { return buffer_.size(); }
    bool transmitterEmpty() const { return buffer_.empty() && fifo_.empty() && !wire_; }
    // When the transmitter will be empty at the current speed, or nullopt
    // while CTS holds it.
    std::optional<std::uint64_t> emptyAtUs(std::uint64_t nowUs) const {
        if (transmitterEmpty()) return nowUs;
        if (!buffer_.empty() && handshake_ && !cts_) return std::nullopt;
        const std::uint64_t waiting = buffer_.size() + fifo_.size();
        const std::uint64_t wireEnd = wire_ ? wire_->doneUs : nowUs;
        return wireEnd + waiting * byteTimeUs(baud_);
    }

    void advanceTo(std::uint64_t nowUs) {
        while (wire_ && wire_->doneUs <= nowUs) {
            const std::uint64_t doneUs = wire_->doneUs;
            sent_.push_back(*wire_);
            wire_.reset();
            startNext(doneUs);
        }
    }

    const std::vector<Sent>& sent() const { return sent_; }

private:
    // The drivers hold output in their buffer while CTS is low and stop
    // feeding the FIFO; what the FIFO holds goes out regardless. A UART
    // without a FIFO still has its one holding register.
    void refill() {
        if (handshake_ && !cts_) return;
        while (!buffer_.empty() && fifo_.size() < std::max<std::size_t>(options_.fifoBytes, 1)) {
            fifo_.push_back(buffer_.front());
            buffer_.pop_front();
        }
    }
    void startNext(std::uint64_t atUs) {
        refill();
        if (wire_ || fifo_.empty()) return;
        wire_ = Sent{fifo_.front(), baud_, false, atUs + byteTimeUs(baud_)};
        fifo_.pop_front();
        refill();
    }

    Options options_;
    std::uint32_t baud_ = 9600;
    bool handshake_ = false;
    bool cts_ = true;
    std::deque<std::uint8_t> buffer_;
    std::deque<std::uint8_t> fifo_;
    std::optional<Sent> wire_;
    std::vector<Sent> sent_;
};

}  // namespace simline
