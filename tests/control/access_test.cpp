// The access handshake over the simulated line.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "box.h"
#include "control/access.h"
#include "serial/line_peers.h"
#include "serial/port_setup.h"
#include "common/status.h"
#include "serial/line_check.h"
#include "serial/timed_io.h"
#include "support/temp_directory.h"
#include "trace/program_trace.h"

using platform::PortHandle;

namespace {

using simline::LineEvent;
using testpeers::TimedPeer;
using testpeers::written;

constexpr std::uint64_t kMs = 1000;

struct Access : testing::Test {
    void TearDown() override { simline::uninstall(); }

    PortHandle open(std::uint32_t baud = 115200, int irdeto = 0) {
        PortHandle port = openComPort(1, baud, irdeto, 1);
        EXPECT_NE(port, platform::kInvalidPort);
        return port;
    }
    AccessResult access(PortHandle port, std::uint8_t imageType = 4, std::int32_t retries = 15) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const AccessResult result = accessBootloader(port, options, portName, imageType, retries);
        std::fflush(stdout);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return result;
    }
    CommandOptions options;
    platform::PortName portName{"COM1", "1"};
    std::string out;
    std::string err;
};

// Answers every keyword with the version line, after a short think.
simline::ScriptedPeer answering(const std::string& line, const std::string& keyword = " quorcom") {
    return simline::ScriptedPeer({{keyword, "\r\n" + line + "\r\nchoice!:", 50}});
}

TEST_F(Access, ReadsTheVersionFromTheBoxsAnswer) {
    simline::ScriptedPeer peer = answering("Bootloader Version 4.12");
    simline::install(peer);
    const AccessResult result = access(open());
    ASSERT_TRUE(result.accessed);
    EXPECT_EQ(result.version, (BootloaderVersion{4, 12}));
    EXPECT_EQ(out, "Bootloader version 4.12 accessed!\n");
    EXPECT_EQ(err, "");
    EXPECT_EQ(peer.received, " quorcom");
    EXPECT_TRUE(simline::portOpen());
    platform::closePort(result.port);
}

TEST_F(Access, FourPointOneIsNotFourPointTen) {
    simline::ScriptedPeer peer = answering("xx Bootloader Version 4.1");
    simline::install(peer);
    const AccessResult result = access(open());
    ASSERT_TRUE(result.accessed);
    EXPECT_EQ(result.version, (BootloaderVersion{4, 1}));
    EXPECT_NE(result.version, parseVersion("4.10"));
    platform::closePort(result.port);
}

TEST_F(Access, FactoryKeywordAndNoKeywordAtAll) {
    simline::ScriptedPeer peer = answering("Bootloader Version 2.0", " quornew");
    simline::install(peer);
    options.keyword = " quornew";
    AccessResult result = access(open());
    ASSERT_TRUE(result.accessed);
    EXPECT_EQ(peer.received, " quornew");
    platform::closePort(result.port);
    simline::uninstall();

    // With -b the box is already in its boot loader: -n and -9 send nothing.
    TimedPeer silentKeyword({{100 * kMs, "Bootloader Version 1.9\n"}}, 38400);
    simline::install(silentKeyword);
    options.sendKeyword = false;
    options.slowKeyword = true;
    result = access(open(38400), 1);
    ASSERT_TRUE(result.accessed);
    EXPECT_EQ(result.version, (BootloaderVersion{1, 9}));
    EXPECT_EQ(written(), "");
    EXPECT_EQ(testpeers::countEvents(LineEvent::Kind::SpeedChange), 0u);
    platform::closePort(result.port);
}

TEST_F(Access, ASilentBoxCostsSixteenAttemptsOfFifteenSeconds) {
    simline::ScriptedPeer peer({});
    simline::install(peer);
    PortHandle port = open();
    const std::uint32_t start = platform::millis();
    const AccessResult result = access(port);
    EXPECT_FALSE(result.accessed);
    EXPECT_EQ(err, "Time out. Access to bootloader failed!\n");
    EXPECT_EQ(out, "");
    EXPECT_FALSE(simline::portOpen());
    std::string sixteen;
    for (int i = 0; i < 16; ++i) sixteen += " quorcom";
    EXPECT_EQ(peer.received, sixteen);
    const std::uint32_t elapsed = platform::millis() - start;
    EXPECT_GT(elapsed, 16u * 15000u);
    EXPECT_LT(elapsed, 16u * 15010u);
    EXPECT_EQ(testpeers::countEvents(LineEvent::Kind::Open), 1u);
}

TEST_F(Access, AKeywordThatCannotBeWrittenEndsAtTheFirstAttempt) {
    simline::ScriptedPeer peer({});
    peer.accepting = false;
    simline::install(peer, {.transmitBufferBytes = 4});
    portName = {"COM3", "3"};
    const AccessResult result = access(openComPort(portName, 115200, 0, 1));
    EXPECT_FALSE(result.accessed);
    EXPECT_EQ(err, "Cannot connect bootloader over COM-port 3.\n");
    EXPECT_FALSE(simline::portOpen());
    EXPECT_EQ(written(), " quo");
    EXPECT_LT(platform::millis(), 300u + 1100u);
}

// The system's buffer takes the keyword whole, but CTS never lets it leave:
// the timed write fails in its own limit, as the access would otherwise wait
// for an answer sixteen times over.
TEST_F(Access, AKeywordHeldBehindCtsEndsAtTheFirstAttempt) {
    simline::ScriptedPeer peer({{" quorcom", "\r\nversion: 4.12\r\nchoice!:", 50}});
    simline::install(peer, {.threeWireCable = true});
    const AccessResult result = access(open());
    EXPECT_FALSE(result.accessed);
    EXPECT_EQ(err, "Cannot connect bootloader over COM-port 1.\n");
    EXPECT_EQ(peer.received, "");
    EXPECT_LT(platform::millis(), 300u + 1100u);
}

// What the line lacks reaches the trace: the handshake the driver dropped when
// the port is set up, CTS off before the keyword.
TEST_F(Access, ADroppedHandshakeAndCtsOffAreTraced) {
    const test_support::TempDirectory dir;
    const std::string path = dir.path() + "/trace";
    char name[] = "update";
    char* argv[] = {name, nullptr};
    for (const bool dropped : {true, false}) {
        SCOPED_TRACE(dropped);
        forgetLineAdvice();
        simline::ScriptedPeer peer = answering("Bootloader Version 4.12");
        simline::install(peer, {.driverDropsHandshake = dropped, .threeWireCable = !dropped});
        ASSERT_TRUE(trace::startTrace({path.c_str()}, 1, argv));
        const AccessResult result = access(open());
        if (result.accessed) platform::closePort(result.port);
        trace::finishTrace(0);
        const std::vector<std::uint8_t> bytes = test_support::readFileBytes(path);
        const std::string traced(bytes.begin(), bytes.end());
        EXPECT_NE(traced.find(dropped ? "line: the driver dropped the hardware handshake" : "line: CTS off before the keyword"),
                  std::string::npos)
            << traced;
        simline::uninstall();
    }
}

TEST_F(Access, AKeywordWriteErrorIsReportedWithItsCode) {
    TimedPeer peer({}, 115200);
    peer.hangUpAtUs = 0;
    simline::install(peer);
    const AccessResult result = access(open());
    EXPECT_FALSE(result.accessed);
    EXPECT_EQ(err, "WriteFile error: " + std::to_string(platform::kErrorOperationAborted) + "\n");
    EXPECT_FALSE(simline::portOpen());
}

TEST_F(Access, SlowKeywordGoesOutAt9600AndThePortReturnsToItsOpeningSpeed) {
    simline::ScriptedPeer peer({{" quorcom", "Bootloader Version 1.7\r", 1000, 38400}});
    simline::install(peer);
    options.slowKeyword = true;
    const AccessResult result = access(open(38400), 1);
    ASSERT_TRUE(result.accessed);
    EXPECT_EQ(out, "\n\n\n\nBootloader version 1.7 accessed!\n");
    std::vector<std::uint32_t> speeds;
    std::uint32_t keywordBaud = 0;
    for (const LineEvent& event : simline::events()) {
        if (event.kind == LineEvent::Kind::SpeedChange) speeds.push_back(event.value);
        if (event.kind == LineEvent::Kind::Write) keywordBaud = event.baud;
    }
    EXPECT_EQ(speeds, (std::vector<std::uint32_t>{9600, 38400}));
    EXPECT_EQ(keywordBaud, 9600u);
    platform::closePort(result.port);
}

TEST_F(Access, SlowKeywordSpeedFailuresEndTheAccess) {
    simline::ScriptedPeer peer({});
    simline::install(peer);
    options.slowKeyword = true;
    simline::faults().failSetBaudAfter = 0;
    simline::faults().stateError = EINVAL;
    AccessResult result = access(open());
    EXPECT_FALSE(result.accessed);
    EXPECT_EQ(err, "Inititialization of COM-port to send slow keyword failed (Error: " + std::to_string(EINVAL) + ")\n");
    EXPECT_EQ(written(), "");
    EXPECT_FALSE(simline::portOpen());

    simline::faults().failSetBaudAfter = 1;
    result = access(open());
    EXPECT_FALSE(result.accessed);
    EXPECT_EQ(err, "ReInititialization of COM-port to send slow keyword failed (Error: " + std::to_string(EINVAL) + ")\n");
    EXPECT_EQ(out, "\n\n");
    EXPECT_EQ(written(), " quorcom");
    EXPECT_FALSE(simline::portOpen());
}

TEST_F(Access, ALineWithoutAVersionIsReportedAsTheBoxsError) {
    simline::ScriptedPeer peer = answering("Bootloader Version unknown");
    simline::install(peer);
    const AccessResult result = access(open());
    EXPECT_FALSE(result.accessed);
    EXPECT_EQ(err, "waitFor error: 536870919\n");
    EXPECT_FALSE(simline::portOpen());
}

TEST_F(Access, AHungUpLineIsReopenedAtTheReopeningSpeed) {
    // The cable is pulled for a moment while the box should answer; the
    // second attempt, on the reopened port, gets the answer.
    struct Replug : TimedPeer {
        using TimedPeer::TimedPeer;
        bool hungUp(std::uint64_t nowUs) const override { return nowUs >= hangUpAtUs && nowUs < 800 * kMs; }
    };
    Replug box({{2000 * kMs, "Bootloader Version 3.3\n"}}, 38400);
    box.hangUpAtUs = 700 * kMs;
    simline::install(box);
    const AccessResult result = access(open(115200), 2);  // type 2 opens at 115200
    ASSERT_TRUE(result.accessed) << err;
    EXPECT_EQ(result.version, (BootloaderVersion{3, 3}));
    EXPECT_EQ(err, "");
    EXPECT_EQ(testpeers::countEvents(LineEvent::Kind::Open), 2u);
    std::vector<std::uint32_t> configured;
    for (const LineEvent& event : simline::events()) {
        if (event.kind == LineEvent::Kind::Configure) configured.push_back(event.baud);
    }
    EXPECT_EQ(configured, (std::vector<std::uint32_t>{115200, 38400}));
    EXPECT_EQ(box.received, " quorcom quorcom");
    platform::closePort(result.port);
}

TEST_F(Access, ADeadLineEndsAfterTheRetriesOrWhenItCannotBeReopened) {
    TimedPeer peer({}, 115200);
    peer.hangUpAtUs = 500 * kMs;
    simline::install(peer);
    options.sendKeyword = false;
    AccessResult result = access(open(), 4);
    EXPECT_FALSE(result.accessed);
    EXPECT_EQ(err, "Access to bootloader failed!\n");
    EXPECT_EQ(testpeers::countEvents(LineEvent::Kind::Open), 16u);
    EXPECT_FALSE(simline::portOpen());

    // The adapter is gone for good: the reopening fails.
    struct Unplugged : TimedPeer {
        using TimedPeer::TimedPeer;
        void onTimer(std::uint64_t nowUs) override {
            TimedPeer::onTimer(nowUs);
            if (nowUs >= hangUpAtUs) simline::faults().openFails = true;
        }
    };
    Unplugged gone({}, 115200);
    gone.hangUpAtUs = 500 * kMs;
    simline::install(gone);
    result = access(open(), 4);
    EXPECT_FALSE(result.accessed);
    EXPECT_EQ(err, "Inititialization of COM-port failed (Error: " + std::to_string(ENOENT) + ")\n");
}

// ---------------------------------------------------------------------------
// The version query on its own

struct VersionQuery : Access {
    int query(const std::string& reply, std::uint32_t limitMs = 1000) {
        if (simline::portOpen()) platform::closePort(port);
        box = std::make_unique<TimedPeer>(std::vector<TimedPeer::Send>{{0, reply}}, 115200);
        simline::install(*box);
        port = open();
        platform::setLastError(0);
        return queryBootloaderVersion(port, version, limitMs);
    }
    void TearDown() override {
        if (simline::portOpen()) platform::closePort(port);
        Access::TearDown();
    }
    std::unique_ptr<TimedPeer> box;
    PortHandle port = platform::kInvalidPort;
    BootloaderVersion version{-1, -1};
};

TEST_F(VersionQuery, TheMarkerMustMatchExactlyAndIsNotRestartedInsideABrokenMatch) {
    EXPECT_EQ(query("Bootloader Version 4.12\r\n"), 1);
    EXPECT_EQ(version, (BootloaderVersion{4, 12}));

    EXPECT_EQ(query("Bootloader version 4.12\r\n"), 0);
    EXPECT_EQ(platform::lastError(), UPD_ERR_TIMEOUT);

    EXPECT_EQ(query("BootBootloader Version 4.12\r\n"), 0);
    EXPECT_EQ(platform::lastError(), UPD_ERR_TIMEOUT);

    // A new start right after a broken match is fine.
    EXPECT_EQ(query("Boot Bootloader Version 4.99\n"), 1);
    EXPECT_EQ(version, (BootloaderVersion{4, 99}));
}

TEST_F(VersionQuery, TheLimitHoldsWhileBytesKeepComing) {
    // A slow box: 2000 bytes at 9600 baud take more than two seconds.
    box = std::make_unique<TimedPeer>(std::vector<TimedPeer::Send>{{0, std::string(2000, 'x')}}, 9600);
    simline::install(*box);
    port = open(9600);
    const std::uint32_t start = platform::millis();
    EXPECT_EQ(queryBootloaderVersion(port, version, 1000), 0);
    EXPECT_EQ(platform::lastError(), UPD_ERR_TIMEOUT);
    EXPECT_GE(platform::millis() - start, 1001u);
    EXPECT_LE(platform::millis() - start, 1003u);
}

TEST_F(VersionQuery, AVersionLineMustFitTheBuffer) {
    const std::string marker = "Bootloader Version 4.12";
    // The marker, the line behind it and its terminating zero fill 10240 bytes.
    const std::string fits(10240 - 1 - marker.size(), ' ');
    EXPECT_EQ(query(marker + fits + "\r", 5000), 1);
    EXPECT_EQ(version, (BootloaderVersion{4, 12}));

    EXPECT_EQ(query(marker + fits + " \r", 5000), 0);
    EXPECT_EQ(platform::lastError(), UPD_ERR_REPLY_OVERFLOW);
}

TEST_F(VersionQuery, LeftoversOfAnEarlierUserOfTheBufferAreNotTakenForTheReply) {
    // A read that ends by its limit stores nothing. The box stops one letter
    // short of the marker: that is a time-out (retried), not a line without a
    // version made up from what the buffer held before.
    std::memcpy(scratchBuffer, "Bootloader Version\n", 19);
    EXPECT_EQ(query("Bootloader Versio", 500), 0);
    EXPECT_EQ(platform::lastError(), UPD_ERR_TIMEOUT);
}

// ---------------------------------------------------------------------------
// The irdeto handshake

// A line that echoes the digits "0" to "9", except those it is told to drop
// (each once), for the handshake alone: a burst of junk, a far end that stops
// taking bytes, digits echoed by something that never names a version. A box
// that plays the whole game is the box model.
class EchoingLine : public simline::Peer {
public:
    explicit EchoingLine(std::string drops, std::size_t junkBeforeFirstEcho = 0)
        : drops_(std::move(drops)), junk_(junkBeforeFirstEcho) {}
    void receive(std::uint8_t byte, std::uint32_t baud, std::uint64_t nowUs) override {
        received.push_back(static_cast<char>(byte));
        arrivalsUs.push_back(nowUs);
        if (byte < '0' || byte > '9') return;
        if (junk_ > 0) {
            transmit(std::string(junk_, 'g'), baud);
            junk_ = 0;
            return;
        }
        const std::size_t drop = drops_.find(static_cast<char>(byte));
        if (drop != std::string::npos) {
            drops_.erase(drop, 1);
            return;
        }
        transmit(std::string(1, static_cast<char>(byte)), baud);
    }
    std::string received;
    std::vector<std::uint64_t> arrivalsUs;

private:
    std::string drops_;
    std::size_t junk_;
};

// A box of 4.12 that demands the echo game, already in its boot loader.
boxmodel::Scenario irdetoBox() {
    boxmodel::Scenario scenario;
    scenario.version = "4.12";
    scenario.irdeto = true;
    scenario.inBootloader = true;
    scenario.switchOnMs = 0;
    return scenario;
}

TEST_F(Access, IrdetoHandshakeCountsFourEchoesInARow) {
    boxmodel::Scenario scenario = irdetoBox();
    scenario.echoPattern = "...x";  // no echo of the fourth digit
    boxmodel::Box box(scenario);
    simline::install(box);
    PortHandle port = open(115200, 1);
    irdetoHandshake(port);
    platform::sleepMs(100);
    EXPECT_EQ(written(), "01234567\x5B\xE7");
    EXPECT_EQ(box.stateName(), std::string("at the menu"));
    platform::closePort(port);
}

TEST_F(Access, IrdetoWritesAreTimeLimitedAfterTheHandshake) {
    struct Sulking : EchoingLine {
        using EchoingLine::EchoingLine;
        bool acceptsInput(std::uint64_t) const override { return received.size() < 6; }
    };
    Sulking box("");
    simline::install(box, {.transmitBufferBytes = 2});
    PortHandle port = open(115200, 1);
    irdetoHandshake(port);  // "0123", then the two closing bytes sit in the buffer
    std::uint32_t sent = 0;
    EXPECT_FALSE(platform::writePort(port, "abcdefgh", 8, sent));
    EXPECT_EQ(platform::lastError(), platform::kErrorCounterTimeout);
    platform::closePort(port);
}

TEST_F(Access, IrdetoEchoReadStopsAfterABoundedRunOfBytes) {
    // The box answers the first digit with 150 bytes of noise. The PC reads
    // one byte per 100 ms; it must not wait for the noise to end before it
    // moves on to the next digit.
    EchoingLine box("", 150);
    simline::install(box);
    PortHandle port = open(115200, 1);
    irdetoHandshake(port);
    platform::sleepMs(10);
    ASSERT_GE(box.arrivalsUs.size(), 2u);
    EXPECT_EQ(box.received.substr(0, 2), "01");
    EXPECT_LT(box.arrivalsUs[1] - box.arrivalsUs[0], 10500 * kMs);
    EXPECT_GT(box.arrivalsUs[1] - box.arrivalsUs[0], 9900 * kMs);
    EXPECT_EQ(box.received.substr(box.received.size() - 2), "\x5B\xE7");
    platform::closePort(port);
}

TEST_F(Access, IrdetoWritesOnALineHeldByCtsEndInAnAttemptsTime) {
    // A box switched off (CTS low): the keyword never leaves.
    simline::ScriptedPeer off({});
    off.accepting = false;
    simline::install(off, {.transmitBufferBytes = 4});
    options.irdetoMode = true;
    AccessResult result = access(open(115200, 1), 7);
    EXPECT_FALSE(result.accessed);
    EXPECT_EQ(err, "Cannot connect bootloader over COM-port 1.\n");
    EXPECT_FALSE(simline::portOpen());
    EXPECT_LE(platform::millis(), 300u + kIrdetoWriteLimitMs + 100u);

    // CTS drops during the echo game: the digit's write ends, and so does the game.
    struct Drops : EchoingLine {
        using EchoingLine::EchoingLine;
        bool acceptsInput(std::uint64_t) const override { return received.size() < 2; }
    };
    Drops box("");
    simline::install(box, {.transmitBufferBytes = 1});
    PortHandle port = open(115200, 1);
    testing::internal::CaptureStderr();
    const std::uint32_t start = platform::millis();
    EXPECT_FALSE(irdetoHandshake(port, 15000));
    EXPECT_EQ(platform::lastError(), UPD_ERR_TIMEOUT);
    EXPECT_LE(platform::millis() - start, 2 * kIrdetoWriteLimitMs);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "WriteFile error: " + std::to_string(platform::kErrorCounterTimeout) + "\n");
    platform::closePort(port);
}

TEST_F(Access, IrdetoHandshakeGivesUpOnADeadLine) {
    TimedPeer peer({}, 115200);
    peer.hangUpAtUs = 0;
    simline::install(peer);
    PortHandle port = open(115200, 1);
    testing::internal::CaptureStderr();
    irdetoHandshake(port);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "WriteFile error: " + std::to_string(platform::kErrorOperationAborted) + "\n");
    platform::closePort(port);
}

TEST_F(Access, EveryCodeOfADeviceThatHasGoneHasThePortReopened) {
    // The adapter is pulled for a moment while the box should answer.
    struct Replug : TimedPeer {
        using TimedPeer::TimedPeer;
        bool hungUp(std::uint64_t nowUs) const override { return nowUs >= hangUpAtUs && nowUs < 800 * kMs; }
    };
    // ... or while the digits of the echo game go out: after the read that
    // ends the third echo (1.1 s), before the fourth digit (1.2 s).
    struct PulledDuringTheGame : EchoingLine {
        using EchoingLine::EchoingLine;
        bool hungUp(std::uint64_t nowUs) const override { return nowUs >= 1150 * kMs && nowUs < 1300 * kMs; }
    };
    for (const std::uint32_t code : platform::kLineGoneCodes) {
        SCOPED_TRACE(code);
        Replug box({{2000 * kMs, "Bootloader Version 3.3\n"}}, 38400);
        box.hangUpAtUs = 700 * kMs;
        simline::install(box);
        simline::faults().hangUpError = code;
        options.irdetoMode = false;
        AccessResult result = access(open(115200), 2);
        ASSERT_TRUE(result.accessed) << err;
        EXPECT_EQ(err, "");
        EXPECT_EQ(testpeers::countEvents(LineEvent::Kind::Open), 2u);
        platform::closePort(result.port);

        PulledDuringTheGame game("");
        simline::install(game);
        simline::faults().hangUpError = code;
        options.irdetoMode = true;
        result = access(open(115200, 1), 7, 1);
        EXPECT_FALSE(result.accessed);
        // One line for the write that met the pulled adapter, not one per retry.
        EXPECT_EQ(err, "WriteFile error: " + std::to_string(code) + "\nTime out. Access to bootloader failed!\n");
        EXPECT_EQ(testpeers::countEvents(LineEvent::Kind::Open), 2u);
    }
}

std::size_t keywordsIn(const std::string& sent) {
    std::size_t count = 0;
    for (std::size_t at = sent.find(" quorcom"); at != std::string::npos; at = sent.find(" quorcom", at + 1)) ++count;
    return count;
}

TEST_F(Access, TheEchoGameHasTheAttemptsLimitSoABoxSwitchedOnLateWakes) {
    // Switched on 40 s after the first keyword: the attempts at 0, 15 and
    // 30 s go unheard, the fourth wakes it.
    boxmodel::Scenario scenario = irdetoBox();
    scenario.inBootloader = false;
    scenario.offAtStart = true;
    scenario.switchOnMs = 40'000;
    boxmodel::Box box(scenario);
    simline::install(box);
    options.irdetoMode = true;
    const std::uint32_t start = platform::millis();
    const AccessResult result = access(open(115200, 1), 7);
    ASSERT_TRUE(result.accessed) << err;
    EXPECT_EQ(result.version, (BootloaderVersion{4, 12}));
    EXPECT_EQ(out, "Bootloader version 4.12 accessed!\n");
    EXPECT_EQ(err, "");
    EXPECT_EQ(keywordsIn(written()), 4u);
    EXPECT_GT(platform::millis() - start, 45000u);
    EXPECT_LT(platform::millis() - start, 48000u);
    platform::closePort(result.port);
}

TEST_F(Access, ABoxThatNeverEchoesRightFailsLikeASilentOne) {
    boxmodel::Scenario scenario = irdetoBox();
    scenario.inBootloader = false;
    scenario.echoPattern = "w*";  // every echo the wrong digit
    boxmodel::Box box(scenario);
    simline::install(box);
    options.irdetoMode = true;
    const std::uint32_t start = platform::millis();
    const AccessResult result = access(open(115200, 1), 7);
    EXPECT_FALSE(result.accessed);
    EXPECT_EQ(err, "Time out. Access to bootloader failed!\n");
    EXPECT_FALSE(simline::portOpen());
    EXPECT_EQ(keywordsIn(written()), 16u);
    // Each attempt ends with the first digit past its 15 s.
    EXPECT_GT(platform::millis() - start, 16u * 15000u);
    EXPECT_LT(platform::millis() - start, 16u * 15700u);
}

TEST_F(Access, IrdetoModeRunsTheHandshakeOnEveryAttempt) {
    // The box echoes digits but never names its version.
    EchoingLine box("");
    simline::install(box);
    options.irdetoMode = true;
    const AccessResult result = access(open(115200, 1), 7, 1);
    EXPECT_FALSE(result.accessed);
    EXPECT_EQ(err, "Time out. Access to bootloader failed!\n");
    // Every handshake starts again from "0".
    EXPECT_EQ(box.received, " quorcom0123\x5B\xE7 quorcom0123\x5B\xE7");
}

}  // namespace
