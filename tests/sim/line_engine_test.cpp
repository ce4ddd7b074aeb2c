// The line engine as both clocks use it: the tests' virtual one and boxsim's
// real one only differ in how far they ask it to run.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "line_engine.h"

namespace {

using simline::LineEngine;

// A far end that echoes each byte at once and can stop taking data at a set time.
class Echo : public simline::Peer {
public:
    void receive(std::uint8_t byte, std::uint32_t pcBaud, std::uint64_t) override {
        heard.push_back(static_cast<char>(byte));
        transmit(std::string(1, static_cast<char>(byte)), pcBaud);
    }
    bool acceptsInput(std::uint64_t nowUs) const override { return nowUs < busyFromUs; }
    std::string heard;
    std::uint64_t busyFromUs = simline::kNoEvent;
};

// A PC end with bytes queued to send and a record of what arrived.
struct Pc : LineEngine::PcEnd {
    std::deque<std::uint8_t> toSend;
    std::uint32_t baud = 9600;
    bool handshake = false;
    std::string arrivedBytes;
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
    }
    void crossed(const simline::PcByte&, bool taken) override { lost += taken ? 0 : 1; }
};

// The line's pace, garbling and loss without the handshake are the
// simulated line's tests (tests/simplatform); these are the engine's own rules.
TEST(LineEngine, OnALineThatTakesNoTimeTheFarEndsWordsStillReachAPcThatKeepsWriting) {
    Echo echo;
    Pc writer;
    LineEngine instant(writer, true);
    instant.attach(&echo, 0);
    writer.toSend = {'x', 'y', 'z'};
    instant.advanceTo(0);
    EXPECT_EQ(echo.heard, "xyz");
    EXPECT_EQ(writer.arrivedBytes, "xyz");
    // Every event falls on one instant: each echo arrives before the byte
    // after next leaves (the next one left as the echoed one ended).
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

// A far end whose timer is always due: it never lets the clock move on.
class Restless : public simline::Peer {
public:
    void receive(std::uint8_t, std::uint32_t, std::uint64_t) override { ++heard; }
    std::uint64_t nextEventUs() const override { return restless ? 0 : simline::kNoEvent; }
    void onTimer(std::uint64_t) override {}
    bool restless = false;
    long heard = 0;
};

TEST(LineEngineDeathTest, OnlyTheFarEndsOwnActionsCanBeStuckAtOneInstant) {
    // Bytes are as many as were written: far more of them than the limit on
    // one instant still cross an instant line.
    Restless quiet;
    Pc writer;
    writer.toSend.assign(1'500'000, 'x');
    LineEngine instant(writer, true);
    instant.attach(&quiet, 0);
    instant.advanceTo(0);
    EXPECT_EQ(quiet.heard, 1'500'000);
    EXPECT_TRUE(writer.toSend.empty());

    Restless restless;
    restless.restless = true;
    Pc idle;
    LineEngine line(idle);
    line.attach(&restless, 0);
    EXPECT_DEATH(line.advanceTo(1), "keeps acting at the same instant");
}

}  // namespace
