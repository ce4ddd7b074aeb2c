// The simulated line must keep time exactly, or every timing test built on it
// proves nothing.
#include "simplatform/sim_platform.h"
#include "platform/serial_ports.h"

#include <gtest/gtest.h>

namespace {

using platform::PortHandle;

struct SimLine : ::testing::Test {
    void TearDown() override { simline::uninstall(); }
    PortHandle openAt(std::uint32_t baud) {
        PortHandle port = platform::openPort(platform::defaultDeviceForComPort(1).c_str());
        EXPECT_NE(port, platform::kInvalidPort);
        EXPECT_TRUE(platform::configureLine(port, baud, true));
        return port;
    }
};

TEST_F(SimLine, RepliesTravelAtTheLineRateAndWaitingJumpsToThem) {
    simline::ScriptedPeer peer({{"ping", "pong", 100}});
    simline::install(peer);
    PortHandle port = openAt(115200);
    std::uint32_t sent = 0;
    ASSERT_TRUE(platform::writePort(port, "ping", 4, sent));
    EXPECT_EQ(sent, 4u);

    platform::waitForInput(port, platform::kWaitForever);
    // Three calls of 10 us, four bytes out (87 us each), 100 ms of thinking,
    // the first byte back.
    EXPECT_EQ(simline::nowUs(), 3 * 10 + 4 * 87 + 100'000 + 87);
    char reply[8] = {};
    std::uint32_t received = 0;
    platform::sleepMs(1);
    ASSERT_TRUE(platform::readPort(port, reply, sizeof reply, received));
    EXPECT_EQ(std::string(reply, received), "pong");
    EXPECT_EQ(peer.received, "ping");
    platform::closePort(port);
}

TEST_F(SimLine, WaitingOnASilentLineEndsExactlyAtItsDeadline) {
    simline::ScriptedPeer peer({});
    simline::install(peer, {}, 0xFFFFFF00u);  // the millisecond clock wraps during the test
    PortHandle port = openAt(115200);
    std::uint32_t start = platform::millis();
    platform::waitForInput(port, 500);
    EXPECT_EQ(static_cast<std::uint32_t>(platform::millis() - start), 500u);
    EXPECT_LT(platform::millis(), start);
    platform::closePort(port);
}

TEST_F(SimLine, WriteToAPeerThatStopsReadingEndsAtItsTimeOut) {
    simline::ScriptedPeer peer({});
    peer.accepting = false;
    simline::install(peer, {.transmitBufferBytes = 16});
    PortHandle port = openAt(115200);
    platform::setWriteTimeouts(port, 1, 10);
    std::uint8_t block[100] = {};
    std::uint32_t sent = 0;
    std::uint64_t start = simline::nowUs();
    EXPECT_FALSE(platform::writePort(port, block, sizeof block, sent));
    EXPECT_EQ(platform::lastError(), platform::kErrorCounterTimeout);
    EXPECT_EQ(sent, 16u);
    EXPECT_EQ(simline::nowUs() - start, 10 + 110'000u);
    platform::closePort(port);
}

TEST_F(SimLine, AReplyThatWaitsForNothingComesAfterItsOwnDelay) {
    simline::ScriptedPeer peer({{"", "hello", 100}});
    simline::install(peer);
    PortHandle port = openAt(115200);
    platform::waitForInput(port, platform::kWaitForever);
    EXPECT_EQ(simline::nowUs(), 100'000u + 87);
    platform::closePort(port);
}

TEST_F(SimLine, BytesSentAtAnotherSpeedArriveGarbled) {
    simline::ScriptedPeer peer({{"", "Bootloader", 0, 38400}});
    simline::install(peer);
    PortHandle port = openAt(115200);
    platform::waitForInput(port, 1000);
    platform::sleepMs(10);
    char reply[16] = {};
    std::uint32_t received = 0;
    ASSERT_TRUE(platform::readPort(port, reply, sizeof reply, received));
    ASSERT_EQ(received, 10u);
    for (std::uint32_t i = 0; i < received; ++i) EXPECT_NE(reply[i], "Bootloader"[i]);
    platform::closePort(port);
}

TEST_F(SimLine, AHungUpLineFailsReadsAndWritesAndEndsWaits) {
    simline::ScriptedPeer peer({});
    peer.hangUpAtUs = 50'000;
    simline::install(peer);
    PortHandle port = openAt(115200);
    platform::waitForInput(port, 1000);
    EXPECT_EQ(simline::nowUs(), 50'000u);
    std::uint8_t byte = 0;
    std::uint32_t count = 0;
    EXPECT_FALSE(platform::readPort(port, &byte, 1, count));
    EXPECT_EQ(platform::lastError(), platform::kErrorOperationAborted);
    EXPECT_FALSE(platform::writePort(port, &byte, 1, count));
    platform::closePort(port);
    EXPECT_EQ(platform::lastError(), platform::kErrorOperationAborted) << "closing keeps the last error";
}

// The strict line: what a pseudo-terminal would forgive.
TEST_F(SimLine, ASpeedChangeGarblesTheByteGoingOutAndSendsTheRestAtTheNewSpeed) {
    simline::ScriptedPeer peer({});
    simline::install(peer);
    PortHandle port = openAt(9600);
    std::uint32_t sent = 0;
    ASSERT_TRUE(platform::writePort(port, "ab", 2, sent));
    ASSERT_TRUE(platform::setBaudRate(port, 115200));
    platform::sleepMs(10);
    ASSERT_EQ(peer.received.size(), 2u);
    EXPECT_NE(peer.received[0], 'a');
    EXPECT_EQ(peer.received[1], 'b');  // the peer hears it at 115200 now
    platform::closePort(port);
}

TEST_F(SimLine, WithoutTheHandshakeInForceAPeerThatIsNotReadyLosesTheBytes) {
    for (const bool dropped : {false, true}) {
        SCOPED_TRACE(dropped);
        simline::ScriptedPeer peer({});
        peer.accepting = false;
        simline::install(peer, {.driverDropsHandshake = dropped});
        PortHandle port = openAt(115200);
        std::uint32_t sent = 0;
        ASSERT_TRUE(platform::writePort(port, "key", 3, sent));
        platform::sleepMs(10);
        EXPECT_EQ(simline::bytesOverrun(), dropped ? 3u : 0u);
        peer.accepting = true;
        platform::sleepMs(10);
        EXPECT_EQ(peer.received, dropped ? "" : "key");
        platform::closePort(port);
        simline::uninstall();
    }
}

}  // namespace
