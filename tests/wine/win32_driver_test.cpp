// The Win32 port code over the driver of fake_comm.h: what the code asks of
// the driver, in which order, on the driver's virtual clock.
#include <gtest/gtest.h>

#include <string>

#include "fake_comm.h"
#include "platform/line_timing.h"
#include "platform/platform.h"

namespace {

using fakecomm::driver;

struct Win32Driver : testing::Test {
    void SetUp() override {
        fakecomm::reset();
        driver().dcb.BaudRate = 19200;  // what the port was set to before us
        port = platform::openPort("COM1");
        ASSERT_NE(port, platform::kInvalidPort);
        ASSERT_TRUE(platform::setWriteTimeouts(port, 1, 10));
    }
    void TearDown() override {
        if (port != platform::kInvalidPort) platform::closePort(port);
    }
    void close() {
        platform::closePort(port);
        port = platform::kInvalidPort;
    }
    platform::PortHandle port = platform::kInvalidPort;
};

TEST_F(Win32Driver, ClosingLetsTheLastBytesLeaveBeforeTheOldSettingsComeBack) {
    ASSERT_TRUE(platform::configureLine(port, 9600, true));
    driver().queued = 2;
    driver().queueEmptyAtMs = driver().nowMs + 30;
    close();
    const auto sets = fakecomm::callsNamed("SetCommState");
    ASSERT_FALSE(sets.empty());
    EXPECT_EQ(sets.back().value, 19200u);
    EXPECT_GE(sets.back().atMs, 30u + platform::closeMarginMs(9600));
    EXPECT_TRUE(fakecomm::callsNamed("PurgeComm").empty());
    EXPECT_EQ(fakecomm::callsNamed("CloseHandle").size(), 1u);
    EXPECT_TRUE(fakecomm::callsNamed("timeBeginPeriod").empty());
}

TEST_F(Win32Driver, ALineHeldByCtsNeverStallsAndKeepsNothingForTheOldSpeed) {
    ASSERT_TRUE(platform::configureLine(port, 115200, true));
    driver().queued = 100;
    driver().queueEmptyAtMs = fakecomm::kNever;
    // A timed write's wait for its bytes to leave fails in its own time.
    EXPECT_FALSE(platform::waitUntilSent(port, 1000));
    EXPECT_EQ(platform::lastError(), platform::kErrorCounterTimeout);
    EXPECT_EQ(fakecomm::callsNamed("PurgeComm").size(), 1u);

    driver().calls.clear();
    driver().queued = 100;
    const DWORD start = driver().nowMs;
    close();
    const auto purges = fakecomm::callsNamed("PurgeComm");
    const auto sets = fakecomm::callsNamed("SetCommState");
    ASSERT_EQ(purges.size(), 1u);
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(purges[0].value & PURGE_TXCLEAR, static_cast<DWORD>(PURGE_TXCLEAR));
    EXPECT_LE(purges[0].atMs, sets[0].atMs);
    EXPECT_LE(sets[0].atMs - start, platform::kCloseDrainLimitMs + platform::closeMarginMs(115200));
}

TEST_F(Win32Driver, APortThatHasGoneIsOnlyClosedAndTheLastErrorStays) {
    ASSERT_TRUE(platform::configureLine(port, 115200, true));
    driver().calls.clear();
    driver().gone = true;
    platform::setLastError(0x20000002u);
    const DWORD start = driver().nowMs;
    close();
    EXPECT_EQ(platform::lastError(), 0x20000002u);
    EXPECT_TRUE(fakecomm::callsNamed("SetCommState").empty());
    EXPECT_EQ(fakecomm::callsNamed("CloseHandle").size(), 1u);
    EXPECT_EQ(driver().nowMs, start);
}

// What the serial and USB serial drivers return once the adapter is pulled:
// each call fails at once with the driver's own code, which the callers take
// for a hang-up. A wait does not sit out its deadline, and the wait for the
// bytes to leave is no time-out (which would read as a box held by CTS).
TEST_F(Win32Driver, ADeviceThatHasGoneFailsEveryCallAtOnceWithAHangUpCode) {
    ASSERT_TRUE(platform::configureLine(port, 115200, true));
    for (const DWORD code : {5u, 22u, 31u, 995u, 1167u, 1617u}) {
        SCOPED_TRACE(code);
        driver().gone = true;
        driver().goneError = code;
        const DWORD start = driver().nowMs;
        platform::waitForInput(port, 10000);
        EXPECT_EQ(driver().nowMs, start);

        char buffer[4];
        std::uint32_t count = 0;
        EXPECT_FALSE(platform::readPort(port, buffer, sizeof buffer, count));
        EXPECT_EQ(platform::lastError(), code);
        EXPECT_TRUE(platform::lineHasGone(platform::lastError()));
        EXPECT_FALSE(platform::writePort(port, "1", 1, count));
        EXPECT_TRUE(platform::lineHasGone(platform::lastError()));
        EXPECT_FALSE(platform::waitUntilSent(port, 1000));
        EXPECT_EQ(platform::lastError(), code);
        EXPECT_EQ(driver().nowMs, start);
        driver().gone = false;
    }
}

TEST_F(Win32Driver, ASpeedTheDriverDidNotApplyFailsTheSet) {
    driver().keepsBaud = 19200;
    EXPECT_FALSE(platform::configureLine(port, 115200, true));
    EXPECT_EQ(platform::lastError(), platform::kErrorSpeedNotApplied);
    EXPECT_FALSE(platform::setBaudRate(port, 38400));
    EXPECT_EQ(platform::lastError(), platform::kErrorSpeedNotApplied);
    driver().keepsBaud = 0;
    EXPECT_TRUE(platform::setBaudRate(port, 38400));
}

// Each call asks the driver anew: what the far end signals changes between
// calls without the program touching the port, and a driver may drop the
// handshake it accepted.
TEST_F(Win32Driver, TheLineStatusIsWhatTheDriverReadsBack) {
    ASSERT_TRUE(platform::configureLine(port, 115200, true));
    platform::LineStatus status{};
    struct Step {
        DWORD modemStatus;
        bool ctsFlowKept;
        bool handshakeOn;
        bool clearToSend;
    };
    // Other lines (DSR, ring, carrier) are no CTS.
    const Step steps[] = {{MS_CTS_ON, true, true, true},
                          {MS_DSR_ON | MS_RING_ON | MS_RLSD_ON, true, true, false},
                          {MS_CTS_ON | MS_DSR_ON, false, false, true},
                          {0, false, false, false},
                          {MS_CTS_ON, true, true, true}};
    for (const Step& step : steps) {
        driver().modemStatus = step.modemStatus;
        driver().dcb.fOutxCtsFlow = step.ctsFlowKept ? 1 : 0;
        ASSERT_TRUE(platform::getLineStatus(port, status));
        EXPECT_TRUE(status.modemLinesKnown);
        EXPECT_EQ(status.handshakeOn, step.handshakeOn) << "modem status " << step.modemStatus;
        EXPECT_EQ(status.clearToSend, step.clearToSend) << "modem status " << step.modemStatus;
    }

    // A driver that drops the flag on the set itself.
    driver().dropsCtsFlow = true;
    ASSERT_TRUE(platform::configureLine(port, 115200, true));
    ASSERT_TRUE(platform::getLineStatus(port, status));
    EXPECT_FALSE(status.handshakeOn);

    // Without modem lines CTS means nothing, whatever the call would have said.
    driver().hasModemLines = false;
    driver().modemStatus = MS_CTS_ON;
    ASSERT_TRUE(platform::getLineStatus(port, status));
    EXPECT_FALSE(status.modemLinesKnown);
    EXPECT_FALSE(status.clearToSend);

    driver().gone = true;
    EXPECT_FALSE(platform::getLineStatus(port, status));
    EXPECT_EQ(platform::lastError(), static_cast<std::uint32_t>(ERROR_GEN_FAILURE));
    driver().gone = false;
}

// A ZK7 box has no handshake lines: the DTR and RTS that opening raised are
// dropped before the port's settings are read or set, and nothing raises
// them again until the close, not even the old DCB given back.
TEST_F(Win32Driver, AZk7BoxSeesTheShortestPulseAtOpenAndNoneAtClose) {
    close();
    fakecomm::reset();
    driver().dcb.BaudRate = 19200;
    port = platform::openPort("COM1");
    ASSERT_NE(port, platform::kInvalidPort);
    ASSERT_TRUE(driver().dtr && driver().rts);
    driver().calls.clear();
    ASSERT_TRUE(platform::configureLine(port, 38400, false));
    for (const char* name : {"GetCommState", "SetCommState"}) {
        const auto calls = fakecomm::callsNamed(name);
        ASSERT_FALSE(calls.empty()) << name;
        for (const auto& call : calls) EXPECT_FALSE(call.linesRaised) << name << " at " << call.atMs << " ms";
    }
    ASSERT_TRUE(platform::setBaudRate(port, 115200));
    driver().calls.clear();
    close();
    for (const auto& call : driver().calls) EXPECT_FALSE(call.linesRaised) << call.name;
    const auto sets = fakecomm::callsNamed("SetCommState");
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].value, 19200u);
    EXPECT_FALSE(driver().dtr || driver().rts);
}

TEST_F(Win32Driver, AWaitBlocksInTheDriverUntilTheFirstByteOrItsDeadline) {
    driver().calls.clear();
    const DWORD start = driver().nowMs;
    driver().arrivals = {{start + 5000, 'x'}, {start + 5000, 'y'}};
    platform::waitForInput(port, 10000);
    EXPECT_EQ(driver().nowMs, start + 5000);
    const auto reads = fakecomm::callsNamed("ReadFile");
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].value, 10000u);
    EXPECT_TRUE(fakecomm::callsNamed("Sleep").empty());
    EXPECT_TRUE(fakecomm::callsNamed("timeBeginPeriod").empty());

    char buffer[8] = {};
    std::uint32_t received = 0;
    ASSERT_TRUE(platform::readPort(port, buffer, sizeof buffer, received));
    EXPECT_EQ(std::string(buffer, received), "xy");
    // Reads never wait again; the write time-outs are the ones set.
    const COMMTIMEOUTS& t = driver().timeouts;
    EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 1u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 10u);

    driver().calls.clear();
    platform::waitForInput(port, 300);
    EXPECT_EQ(driver().nowMs, start + 5300);
    EXPECT_EQ(fakecomm::callsNamed("ReadFile").size(), 1u);
    EXPECT_TRUE(fakecomm::callsNamed("Sleep").empty());
}

}  // namespace
