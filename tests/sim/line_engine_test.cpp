// The line engine as both clocks use it: the tests' virtual one and boxsim's
// real one only differ in how far they ask it to run.
#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "line.h"
#include "line_engine.h"

namespace {

using simline::LineEngine;

// A far end that echoes each byte at once and can stop taking data at a set time.
class Echo : public simline::Peer {
public:
    void receive(std::uint8_t byte, std::uint32_t pcBaud, std::uint64_t nowUs) override {
        heard.push_back(static_cast<char>(byte));
        heardAtUs.push_back(nowUs);
        transmit(std::string(1, static_cast<char>(byte)), pcBaud);
    }
    bool acceptsInput(std::uint64_t nowUs) const override { return nowUs < busyFromUs; }
    std::string heard;
    std::vector<std::uint64_t> heardAtUs;
    std::uint64_t busyFromUs = simline::kNoEvent;
};

// A PC end with bytes queued to send and a record of what arrived.
struct Pc : LineEngine::PcEnd {
    std::deque<std::uint8_t> toSend;
    std::uint32_t baud = 9600;
    bool handshake = false;
    std::string arrivedBytes;
    std::vector<std::uint64_t> arrivedAtUs;
    int lost = 0;
    std::vector<std::size_t> arrivedWhenTaken;  // for each byte sent, how many had arrived before

    std::optional<Start> nextByte(std::uint64_t atUs, bool farEndReady) override {
        if (toSend.empty() || (handshake && !farEndReady)) return std::nullopt;
        arrivedWhenTaken.push_back(arrivedBytes.size());
        const std::uint8_t value = toSend.front();
        toSend.pop_front();
        return Start{value, baud, atUs, handshake};
    }
    void arrived(const simline::FarEndTransmitter::Byte& byte) override {
        arrivedBytes.push_back(static_cast<char>(byte.value));
        arrivedAtUs.push_back(byte.doneUs);
    }
    void crossed(const simline::PcByte&, bool taken) override { lost += taken ? 0 : 1; }
};

TEST(LineEngine, BothDirectionsCrossAtTheLinesPaceAndAnInstantLineStillLetsTheFarEndSpeak) {
    Echo echo;
    Pc pc;
    LineEngine line(pc);
    line.attach(&echo, 0);
    pc.toSend = {'a', 'b'};
    const std::uint64_t byte = simline::byteTimeUs(9600);
    // Run only part of the way: "a" is still on the wire.
    line.advanceTo(byte - 1);
    EXPECT_EQ(echo.heard, "");
    line.advanceTo(10 * byte);
    EXPECT_EQ(echo.heard, "ab");
    EXPECT_EQ(echo.heardAtUs, (std::vector<std::uint64_t>{byte, 2 * byte}));
    EXPECT_EQ(pc.arrivedBytes, "ab");
    EXPECT_EQ(pc.arrivedAtUs, (std::vector<std::uint64_t>{2 * byte, 3 * byte}));

    // On a line that takes no time every event falls on one instant: the
    // echoes still arrive while the PC goes on writing, each one before the
    // byte after next leaves (the next one left as the echoed one ended).
    Echo fast;
    Pc writer;
    LineEngine instant(writer, true);
    instant.attach(&fast, 0);
    writer.toSend = {'x', 'y', 'z'};
    instant.advanceTo(0);
    EXPECT_EQ(fast.heard, "xyz");
    EXPECT_EQ(writer.arrivedBytes, "xyz");
    EXPECT_EQ(writer.arrivedWhenTaken, (std::vector<std::size_t>{0, 0, 1}));
}

TEST(LineEngine, AByteBehindCtsIsTakenAndOneWithoutIsLostWhenTheFarEndStopsWhileItCrosses) {
    const std::uint64_t byte = simline::byteTimeUs(9600);
    for (const bool handshake : {true, false}) {
        SCOPED_TRACE(handshake ? "handshake" : "no handshake");
        Echo echo;
        echo.busyFromUs = byte / 2;
        Pc pc;
        pc.handshake = handshake;
        pc.toSend = {'a', 'b'};
        LineEngine line(pc);
        line.attach(&echo, 0);
        line.advanceTo(20 * byte);
        // "a" left while the far end took data; "b" never leaves behind CTS,
        // and without it goes and is lost.
        EXPECT_EQ(echo.heard, handshake ? "a" : "");
        EXPECT_EQ(pc.lost, handshake ? 0 : 2);
        EXPECT_EQ(pc.toSend.size(), handshake ? 1u : 0u);
    }
}

TEST(LineEngine, ASpeedChangeGarblesOnlyTheByteOnTheWire) {
    Echo echo;
    Pc pc;
    LineEngine line(pc);
    line.attach(&echo, 0);
    pc.toSend = {'a', 'b'};
    line.advanceTo(10);
    ASSERT_TRUE(line.pcByteOnWire());
    pc.baud = 115200;
    line.pcSpeedChanged(115200);
    line.advanceTo(100000);
    ASSERT_EQ(echo.heard.size(), 2u);
    EXPECT_EQ(static_cast<std::uint8_t>(echo.heard[0]), simline::garble('a', 9600, 115200));
    EXPECT_EQ(echo.heard[1], 'b');
}

}  // namespace
