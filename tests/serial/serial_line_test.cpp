// The serial link over the simulated line: every limit is met on a virtual
// clock, so the tests pin it to the millisecond.
#include <gtest/gtest.h>

#include <string>

#include "line_peers.h"
#include "serial/port_setup.h"
#include "common/status.h"
#include "serial/timed_io.h"
#include "serial/wait_for.h"

using platform::PortHandle;

namespace {

using simline::LineEvent;
using testpeers::GatePeer;
using testpeers::TimedPeer;
using testpeers::written;

struct SerialLine : testing::Test {
    void TearDown() override {
        if (port != platform::kInvalidPort && simline::portOpen()) platform::closePort(port);
        simline::uninstall();
    }
    void open(std::uint32_t baud = 115200, int irdeto = 0) {
        port = openComPort(1, baud, irdeto, 1);
        ASSERT_NE(port, platform::kInvalidPort);
    }
    std::uint32_t elapsedSince(std::uint32_t startMs) const { return platform::millis() - startMs; }
    PortHandle port = platform::kInvalidPort;
};

constexpr std::uint64_t kMs = 1000;

// ---------------------------------------------------------------------------
// Port set-up

TEST_F(SerialLine, PortNumbersOutsideOneToFourOpenNothing) {
    simline::ScriptedPeer peer({});
    simline::install(peer);
    for (std::uint32_t number : {0u, 5u, 0xFFFFFFFFu}) {
        platform::setLastError(0);
        EXPECT_EQ(openComPort(number, 115200, 0, 1), platform::kInvalidPort);
        EXPECT_EQ(platform::lastError(), UPD_ERR_BAD_PORT);
    }
    EXPECT_TRUE(simline::events().empty());
}

TEST_F(SerialLine, OpeningConfiguresTheLineAndSettles) {
    simline::ScriptedPeer peer({});
    simline::install(peer);
    port = openComPort(2, 38400, 0, 2);  // only 1 turns the handshake on
    ASSERT_NE(port, platform::kInvalidPort);
    const auto& events = simline::events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].kind, LineEvent::Kind::Open);
    EXPECT_EQ(events[0].value, 2u);
    EXPECT_EQ(events[1].kind, LineEvent::Kind::Configure);
    EXPECT_EQ(events[1].value, 0u);
    EXPECT_EQ(events[1].baud, 38400u);
    EXPECT_EQ(events[2].kind, LineEvent::Kind::Sleep);
    EXPECT_EQ(events[2].value, 300u);
    platform::closePort(port);

    port = openComPort(1, 115200, 0, 1);
    ASSERT_NE(port, platform::kInvalidPort);
    EXPECT_EQ(simline::events()[5].value, 1u);
}

TEST_F(SerialLine, FailedSetUpClosesThePortAndKeepsTheSystemsCode) {
    simline::ScriptedPeer peer({});
    simline::install(peer);
    simline::faults().setStateFails = true;
    simline::faults().stateError = EPERM;
    EXPECT_EQ(openComPort(1, 115200, 0, 1), platform::kInvalidPort);
    EXPECT_EQ(platform::lastError(), static_cast<std::uint32_t>(EPERM));
    EXPECT_FALSE(simline::portOpen());

    simline::faults() = {};
    simline::faults().openFails = true;
    simline::faults().openError = EBUSY;
    EXPECT_EQ(openComPort(1, 115200, 0, 1), platform::kInvalidPort);
    EXPECT_EQ(platform::lastError(), static_cast<std::uint32_t>(EBUSY));
}

TEST_F(SerialLine, WritesAreTimeLimitedOutsideIrdetoModeOnly) {
    GatePeer peer(2000 * kMs);
    simline::install(peer, {.transmitBufferBytes = 1});
    open(115200, 0);
    std::uint8_t block[100] = {};
    std::uint32_t sent = 0;
    const std::uint64_t start = simline::nowUs();
    EXPECT_FALSE(platform::writePort(port, block, sizeof block, sent));
    EXPECT_EQ(platform::lastError(), platform::kErrorCounterTimeout);
    EXPECT_EQ(sent, 1u);
    EXPECT_EQ((simline::nowUs() - start) / kMs, 110u);
    platform::closePort(port);

    port = openComPort(1, 115200, 1, 1);
    ASSERT_NE(port, platform::kInvalidPort);
    EXPECT_TRUE(platform::writePort(port, block, sizeof block, sent));
    EXPECT_EQ(sent, 100u);
    EXPECT_GE(simline::nowUs(), 2000 * kMs);
}

TEST_F(SerialLine, SetBaudChangesOnlyADifferentSpeedAndThenSettles) {
    simline::ScriptedPeer peer({});
    simline::install(peer);
    open(115200);
    const std::size_t before = simline::events().size();
    const std::uint64_t start = simline::nowUs();
    EXPECT_TRUE(setBaud(port, 115200));
    EXPECT_EQ(simline::events().size(), before);
    EXPECT_LT(simline::nowUs() - start, kMs);

    EXPECT_TRUE(setBaud(port, 9600));
    EXPECT_EQ(simline::currentBaud(), 9600u);
    const auto& events = simline::events();
    ASSERT_EQ(events.size(), before + 2);
    EXPECT_EQ(events[before].kind, LineEvent::Kind::SpeedChange);
    EXPECT_EQ(events[before + 1].kind, LineEvent::Kind::Sleep);
    EXPECT_EQ(events[before + 1].value, 500u);

    simline::faults().failSetBaudAfter = 0;
    simline::faults().stateError = EINVAL;
    EXPECT_FALSE(setBaud(port, 38400));
    EXPECT_EQ(platform::lastError(), static_cast<std::uint32_t>(EINVAL));
    EXPECT_TRUE(simline::portOpen());
}

TEST_F(SerialLine, ReleaseSendsTheLeaveKeyAtBothSpeeds) {
    simline::ScriptedPeer peer({});
    simline::install(peer);
    open(115200);
    const std::size_t before = simline::events().size();
    const std::uint64_t start = simline::nowUs();
    EXPECT_EQ(releaseBootloader(port), 1);
    const std::uint64_t doneUs = simline::nowUs();
    std::vector<std::pair<LineEvent::Kind, std::uint32_t>> seen;
    for (std::size_t i = before; i < simline::events().size(); ++i) {
        const LineEvent& event = simline::events()[i];
        seen.emplace_back(event.kind, event.kind == LineEvent::Kind::Write ? event.baud : event.value);
    }
    const std::vector<std::pair<LineEvent::Kind, std::uint32_t>> expected = {
        {LineEvent::Kind::Sleep, 300},       {LineEvent::Kind::Write, 115200}, {LineEvent::Kind::Sleep, 300},
        {LineEvent::Kind::SpeedChange, 38400}, {LineEvent::Kind::Sleep, 500},  {LineEvent::Kind::Write, 38400}};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ((doneUs - start) / kMs, 1100u);
    platform::sleepMs(10);  // the last key is still on its way
    EXPECT_EQ(peer.received, "11");
}

TEST_F(SerialLine, ReleaseGivesUpWhenASpeedCannotBeSet) {
    simline::ScriptedPeer peer({});
    simline::install(peer);
    open(38400);
    simline::faults().failSetBaudAfter = 0;
    EXPECT_EQ(releaseBootloader(port), 0);
    EXPECT_EQ(peer.received, "");

    simline::faults().failSetBaudAfter = 1;
    EXPECT_EQ(releaseBootloader(port), 0);
    EXPECT_EQ(written(), "1");
    EXPECT_TRUE(simline::portOpen());
}

// ---------------------------------------------------------------------------
// writeTimed

TEST_F(SerialLine, WriteWithoutLimitOnAnIrdetoPortIsOneCall) {
    simline::ScriptedPeer peer({});
    simline::install(peer);
    open(115200, 1);
    EXPECT_EQ(writeTimed(port, " quorcom", 8, 0), 1);
    EXPECT_EQ(testpeers::countEvents(LineEvent::Kind::Write), 1u);
    EXPECT_EQ(written(), " quorcom");
}

TEST_F(SerialLine, WriteGoesOnFromWhereAShortWriteStopped) {
    GatePeer peer(400 * kMs);
    simline::install(peer, {.transmitBufferBytes = 4});
    open();
    const std::string data = "0123456789abcdefghijklmnopqrstuvwxyz";
    EXPECT_EQ(writeTimed(port, data.data(), static_cast<std::uint32_t>(data.size()), 0), 1);
    // The first call hands over what the transmit buffer takes, the rest
    // follows once the box reads again.
    EXPECT_GE(testpeers::countEvents(LineEvent::Kind::Write), 2u);
    for (const LineEvent& event : simline::events()) {
        if (event.kind == LineEvent::Kind::Write) {
            EXPECT_EQ(event.bytes.size(), 4u);
            break;
        }
    }
    EXPECT_EQ(written(), data);
    platform::sleepMs(100);
    EXPECT_EQ(peer.received, data);
}

TEST_F(SerialLine, WriteThatEndsAfterItsLimitFails) {
    // The gate opens a whole number of milliseconds after the write starts;
    // the last byte is taken into the buffer at that moment and counts once it
    // has left it, a byte time later: at the limit itself that is too late.
    for (std::uint32_t doneAfterMs : {999u, 1000u, 1001u}) {
        SCOPED_TRACE(doneAfterMs);
        simline::ScriptedPeer opener({});
        simline::install(opener);
        open();
        const std::uint32_t startMs = platform::millis();
        platform::closePort(port);
        simline::uninstall();

        GatePeer peer((std::uint64_t{startMs} + doneAfterMs) * kMs);
        simline::install(peer, {.transmitBufferBytes = 1});
        open();
        ASSERT_EQ(platform::millis(), startMs);
        platform::setLastError(0);
        const int result = writeTimed(port, "ab", 2, 1000);
        EXPECT_EQ(elapsedSince(startMs), doneAfterMs);
        EXPECT_EQ(result, doneAfterMs >= 1000 ? 0 : 1);
        if (result == 0) {
            EXPECT_EQ(platform::lastError(), UPD_ERR_TIMEOUT);
        }
        EXPECT_EQ(written(), "ab");
        platform::closePort(port);
        simline::uninstall();
    }
}

TEST_F(SerialLine, WriteToABoxThatNeverTakesDataFailsSoonAfterTheLimit) {
    simline::ScriptedPeer peer({});
    peer.accepting = false;
    simline::install(peer, {.transmitBufferBytes = 1});
    open();
    const std::uint32_t start = platform::millis();
    EXPECT_EQ(writeTimed(port, " quorcom", 8, 1000), 0);
    EXPECT_EQ(platform::lastError(), UPD_ERR_TIMEOUT);
    EXPECT_GT(elapsedSince(start), 1000u);
    EXPECT_LE(elapsedSince(start), 1000u + 18u + 1u);
}

TEST_F(SerialLine, WriteErrorsOtherThanTheTimeOutEndTheWriteAtOnce) {
    TimedPeer peer({}, 115200);
    peer.hangUpAtUs = 0;
    simline::install(peer);
    open();
    EXPECT_EQ(writeTimed(port, "x", 1, 0), 0);
    EXPECT_EQ(platform::lastError(), platform::kErrorOperationAborted);
}

// ---------------------------------------------------------------------------
// readCharTimed

TEST_F(SerialLine, ReadOnASilentLineReturnsOneJustAfterTheLimitAndStoresNothing) {
    simline::ScriptedPeer peer({});
    simline::install(peer);
    open();
    std::uint8_t byte = 0xA5;
    const std::uint32_t start = platform::millis();
    EXPECT_EQ(readCharTimed(port, &byte, 500), 1);
    EXPECT_EQ(byte, 0xA5);
    EXPECT_GT(elapsedSince(start), 500u);
    EXPECT_LE(elapsedSince(start), 502u);
}

TEST_F(SerialLine, ReadTakesAWaitingOrArrivingByte) {
    TimedPeer peer({{0, "Q"}, {600 * kMs, "R"}}, 115200);
    simline::install(peer);
    open();  // the first byte arrives while the port settles
    std::uint8_t byte = 0;
    std::uint32_t start = platform::millis();
    EXPECT_EQ(readCharTimed(port, &byte, 500), 1);
    EXPECT_EQ(byte, 'Q');
    EXPECT_EQ(elapsedSince(start), 0u);

    start = platform::millis();
    EXPECT_EQ(readCharTimed(port, &byte, 0), 1);
    EXPECT_EQ(byte, 'R');
    EXPECT_EQ(platform::millis(), 600u);
}

TEST_F(SerialLine, ReadOnAHungUpLineFailsWithItsCode) {
    TimedPeer peer({}, 115200);
    peer.hangUpAtUs = 700 * kMs;
    simline::install(peer);
    open();
    std::uint8_t byte = 0;
    EXPECT_EQ(readCharTimed(port, &byte, 0), 0);
    EXPECT_EQ(platform::lastError(), platform::kErrorOperationAborted);
    EXPECT_EQ(platform::millis(), 700u);
}

// ---------------------------------------------------------------------------
// waitFor

struct WaitFor : SerialLine {
    // Runs waitFor and keeps what it printed.
    int run(const char* text, std::uint32_t limitMs) {
        testing::internal::CaptureStdout();
        const int result = waitFor(port, text, limitMs);
        std::fflush(stdout);
        printed = testing::internal::GetCapturedStdout();
        return result;
    }
    std::string printed;
};

TEST_F(WaitFor, FindsAPromptSplitOverReadsAndBytesQueuedBeforeTheCall) {
    TimedPeer peer({{0, "garbage cho"}, {400 * kMs, "ice!:"}, {1000 * kMs, "fi"}, {1100 * kMs, "le:"}}, 115200);
    simline::install(peer);
    open();
    EXPECT_EQ(run("choice!:", 0), 1);
    EXPECT_EQ(platform::millis(), 400u);
    // Each call starts afresh: what the last one read does not count again.
    EXPECT_EQ(run("file:", 2000), 1);
    EXPECT_EQ(platform::millis(), 1100u);
    EXPECT_EQ(printed, "");
}

TEST_F(WaitFor, ThePromptWinsWhenItComesInTheSamePassAsTheErrorMarker) {
    TimedPeer peer({{400 * kMs, "ERRORgaga: bad\nchoice!:"}}, 115200);
    simline::install(peer);
    open();
    platform::sleepMs(200);
    EXPECT_EQ(run("choice!:", 0), 1);
    EXPECT_EQ(printed, "");
}

TEST_F(WaitFor, AfterTheMarkerOnlyTheLineEndCountsAndTheErrorIsShown) {
    // The prompt comes after the marker but before the line end.
    TimedPeer peer({{0, "menu ERRORgaga: flash"}, {400 * kMs, " busy choice!: retry\n"}}, 115200);
    simline::install(peer);
    open();
    platform::setLastError(0);
    EXPECT_EQ(run("choice!:", 0), 0);
    EXPECT_EQ(platform::lastError(), UPD_ERR_BOX_ERROR);
    EXPECT_EQ(printed, "\n\nERRORgaga: flash busy choice!: retry\n\n\n");
}

TEST_F(WaitFor, AnErrorLineThatCameWholeIsShownWithoutWaitingForMore) {
    TimedPeer peer({{0, "ERRORgaga: no flash\n"}}, 115200);
    simline::install(peer);
    open();
    EXPECT_EQ(run("choice!:", 0), 0);
    EXPECT_EQ(platform::lastError(), UPD_ERR_BOX_ERROR);
    EXPECT_EQ(printed, "\n\nERRORgaga: no flash\n\n\n");
}

TEST_F(WaitFor, AnUnfinishedErrorLineTimesOutSilently) {
    TimedPeer peer({{0, "ERRORgaga: no line end"}}, 115200);
    simline::install(peer);
    open();
    const std::uint32_t start = platform::millis();
    EXPECT_EQ(run("choice!:", 500), 0);
    EXPECT_EQ(platform::lastError(), UPD_ERR_TIMEOUT);
    EXPECT_EQ(printed, "");
    EXPECT_GT(elapsedSince(start), 500u);
    EXPECT_LE(elapsedSince(start), 502u);
}

TEST_F(WaitFor, ASilentBoxWithoutLimitIsWaitedForForEver) {
    TimedPeer peer({{0, "ERRORgaga: no line end"}}, 115200);
    simline::install(peer);
    open();
    // The simulated line stops a program that waits on a line where nothing
    // will ever happen again.
    EXPECT_DEATH(waitFor(port, "choice!:", 0), "waiting without limit on a silent line");
}

TEST_F(WaitFor, AZeroByteHidesNothingThatFollowsIt) {
    {
        TimedPeer peer({{0, std::string("x\0choice!:ERRORgaga:\n", 21)}}, 115200);
        simline::install(peer);
        open();
        EXPECT_EQ(run("choice!:", 300), 1);
        EXPECT_EQ(printed, "");
        platform::closePort(port);
        simline::uninstall();
    }
    // Neither the error marker nor the end of its line hide behind one; the
    // console shows the error text up to it.
    TimedPeer peer({{0, std::string("..\0", 3)}, {20 * kMs, std::string("ERRORgaga: bad\0sector\n", 23)}}, 115200);
    simline::install(peer);
    open();
    EXPECT_EQ(run("choice!:", 300), 0);
    EXPECT_EQ(platform::lastError(), UPD_ERR_BOX_ERROR);
    EXPECT_EQ(printed, "\n\nERRORgaga: bad\n\n");
}

TEST_F(WaitFor, AFullReplySpaceFailsWhateverItHolds) {
    const std::string filler(10239 - 8, '.');
    {
        TimedPeer peer({{0, filler + "choice!:"}}, 115200);
        simline::install(peer);
        open();
        platform::sleepMs(2000);  // all 10239 bytes are waiting
        EXPECT_EQ(run("choice!:", 0), 0);
        EXPECT_EQ(platform::lastError(), UPD_ERR_REPLY_OVERFLOW);
        platform::closePort(port);
        simline::uninstall();
    }
    {
        TimedPeer peer({{0, filler.substr(1) + "choice!:"}}, 115200);
        simline::install(peer);
        open();
        platform::sleepMs(2000);
        EXPECT_EQ(run("choice!:", 0), 1);
        platform::closePort(port);
        simline::uninstall();
    }
    {
        // Filled over several reads, with an error line that never ends.
        TimedPeer peer({{0, "ERRORgaga:" + std::string(5000, 'e')}, {3000 * kMs, std::string(5229, 'f')}}, 115200);
        simline::install(peer);
        open();
        EXPECT_EQ(run("choice!:", 0), 0);
        EXPECT_EQ(platform::lastError(), UPD_ERR_REPLY_OVERFLOW);
        EXPECT_EQ(printed, "");
    }
}

TEST_F(WaitFor, TheTextWinsWhenTheReadThatCompletesItComesAfterTheLimit) {
    simline::ScriptedPeer opener({});
    simline::install(opener);
    open();
    const std::uint64_t openedUs = simline::nowUs();
    platform::closePort(port);
    simline::uninstall();

    // The call's first read costs the line 10 us, and the wait for input after
    // it ends 501 ms later. The prompt's last byte lands 5 us before that: on
    // the clock 501 ms after the call began, so past the limit.
    const std::uint64_t callUs = openedUs + 700 * kMs;
    const std::uint64_t lastByteUs = callUs + 10 + 501 * kMs - 5;
    ASSERT_EQ(lastByteUs / kMs - callUs / kMs, 501u);
    TimedPeer peer({{lastByteUs - 8 * simline::byteTimeUs(115200), "choice!:"}}, 115200);
    simline::install(peer);
    open();
    platform::sleepMs(700);
    ASSERT_EQ(simline::nowUs(), callUs);
    const auto startMs = static_cast<std::uint32_t>(callUs / kMs);
    EXPECT_EQ(run("choice!:", 500), 1);
    EXPECT_EQ(elapsedSince(startMs), 501u);
}

TEST_F(WaitFor, AFailedReadEndsTheWaitWithItsCode) {
    TimedPeer peer({{0, "cho"}}, 115200);
    peer.hangUpAtUs = 800 * kMs;
    simline::install(peer);
    open();
    EXPECT_EQ(run("choice!:", 0), 0);
    EXPECT_EQ(platform::lastError(), platform::kErrorOperationAborted);
    EXPECT_EQ(platform::millis(), 800u);
}

// ---------------------------------------------------------------------------
// printErasable

TEST(PrintErasable, WritesTheTextThenOneBackspacePerByte) {
    testing::internal::CaptureStdout();
    printErasable(stdout, "");
    printErasable(stdout, "abc");
    printErasable(stdout, " stopped for programming");
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "abc\b\b\b stopped for programming" + std::string(24, '\b'));
}

}  // namespace
