// Small peers for the tests of the serial link and the access handshake.
#pragma once

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "simplatform/sim_platform.h"

namespace testpeers {

// Takes nothing from the line until gateUs, then everything.
class GatePeer : public simline::Peer {
public:
    explicit GatePeer(std::uint64_t gateUs) : gateUs_(gateUs) {}
    void receive(std::uint8_t byte, std::uint32_t, std::uint64_t) override { received.push_back(static_cast<char>(byte)); }
    bool acceptsInput(std::uint64_t nowUs) const override { return nowUs >= gateUs_; }
    // The gate opening is an event, so that a waiting write notices it at once.
    std::uint64_t nextEventUs() const override { return opened_ ? simline::kNoEvent : gateUs_; }
    void onTimer(std::uint64_t) override { opened_ = true; }
    std::string received;

private:
    std::uint64_t gateUs_;
    bool opened_ = false;
};

// Sends each text at its own moment (in microseconds), at the given speed.
class TimedPeer : public simline::Peer {
public:
    struct Send {
        std::uint64_t atUs;
        std::string bytes;
    };
    TimedPeer(std::vector<Send> sends, std::uint32_t baud) : sends_(std::move(sends)), baud_(baud) {}
    void receive(std::uint8_t byte, std::uint32_t, std::uint64_t) override { received.push_back(static_cast<char>(byte)); }
    std::uint64_t nextEventUs() const override {
        const std::uint64_t send = next_ < sends_.size() ? sends_[next_].atUs : simline::kNoEvent;
        // Hanging up is an event too, so that a waiting read wakes for it.
        return std::min(send, hangUpSeen_ ? simline::kNoEvent : hangUpAtUs);
    }
    void onTimer(std::uint64_t nowUs) override {
        if (nowUs >= hangUpAtUs) hangUpSeen_ = true;
        while (next_ < sends_.size() && sends_[next_].atUs <= nowUs) transmit(sends_[next_++].bytes, baud_);
    }
    bool hungUp(std::uint64_t nowUs) const override { return nowUs >= hangUpAtUs; }
    std::string received;
    std::uint64_t hangUpAtUs = simline::kNoEvent;

private:
    std::vector<Send> sends_;
    std::size_t next_ = 0;
    bool hangUpSeen_ = false;
    std::uint32_t baud_;
};

inline std::string written() {
    const std::vector<std::uint8_t> bytes = simline::bytesWritten();
    return std::string(bytes.begin(), bytes.end());
}

inline std::uint64_t countEvents(simline::LineEvent::Kind kind) {
    std::uint64_t count = 0;
    for (const auto& event : simline::events()) count += event.kind == kind ? 1 : 0;
    return count;
}

}  // namespace testpeers
