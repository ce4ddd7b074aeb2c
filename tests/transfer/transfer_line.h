// A box stand-in for the transfer tests: it takes the PC's bytes, answers at
// given byte counts or times, and can stop taking data for a while.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "simplatform/sim_platform.h"
#include "platform/serial_ports.h"

class TransferPeer : public simline::Peer {
public:
    struct Reply {
        std::size_t afterBytes;  // sent once this many bytes have arrived
        std::string text;
    };
    std::vector<Reply> replies;
    // The box takes no data from this byte count on, until resumeAtUs.
    std::size_t stallAfterBytes = SIZE_MAX;
    std::uint64_t resumeAtUs = simline::kNoEvent;
    // While stalled, the box sends this text every periodUs.
    std::string stalledChatter;
    std::uint64_t periodUs = 500'000;
    std::uint64_t hangUpAtUs = simline::kNoEvent;

    std::vector<std::uint8_t> received;

    void receive(std::uint8_t byte, std::uint32_t pcBaud, std::uint64_t) override {
        received.push_back(byte);
        baud_ = pcBaud;
        while (next_ < replies.size() && received.size() >= replies[next_].afterBytes)
            transmit(replies[next_++].text, baud_);
    }
    bool acceptsInput(std::uint64_t nowUs) const override { return !stalled(nowUs); }
    std::uint64_t nextEventUs() const override {
        if (stalledChatter.empty() || received.size() < stallAfterBytes) return simline::kNoEvent;
        return nextChatterUs_;
    }
    void onTimer(std::uint64_t nowUs) override {
        if (nowUs < nextChatterUs_) return;
        if (stalled(nowUs)) transmit(stalledChatter, baud_);
        nextChatterUs_ = stalled(nowUs) ? nowUs + periodUs : simline::kNoEvent;
    }
    bool hungUp(std::uint64_t nowUs) const override { return nowUs >= hangUpAtUs; }

private:
    bool stalled(std::uint64_t nowUs) const { return received.size() >= stallAfterBytes && nowUs < resumeAtUs; }
    std::size_t next_ = 0;
    std::uint32_t baud_ = 115200;
    std::uint64_t nextChatterUs_ = 0;
};

// Opens COM1 on the simulated line as the program does: 115200 baud, no
// handshake, write time-out of 10 ms plus 1 ms per byte.
class TransferLineTest : public ::testing::Test {
protected:
    void openLine(std::uint32_t baud = 115200, simline::LineOptions options = {}) {
        simline::install(peer, options);
        port = platform::openPort(platform::defaultDeviceForComPort(1).c_str());
        ASSERT_NE(port, platform::kInvalidPort);
        ASSERT_TRUE(platform::configureLine(port, baud, false));
        ASSERT_TRUE(platform::setWriteTimeouts(port, 1, 10));
    }
    void TearDown() override {
        if (port != platform::kInvalidPort) platform::closePort(port);
        simline::uninstall();
    }

    // Sizes of the PC's writes, in order.
    static std::vector<std::size_t> writeSizes() {
        std::vector<std::size_t> sizes;
        for (const auto& event : simline::events())
            if (event.kind == simline::LineEvent::Kind::Write) sizes.push_back(event.bytes.size());
        return sizes;
    }

    TransferPeer peer;
    platform::PortHandle port = platform::kInvalidPort;
};

// The progress line as the transfers print it.
inline std::string progressLine(unsigned pct) {
    char field[8];
    std::snprintf(field, sizeof field, "%4u", pct);
    return std::string(field) + " % transfered       " + std::string(24, '\b');
}
