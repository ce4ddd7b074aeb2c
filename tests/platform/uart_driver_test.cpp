// The POSIX port code over a driver that behaves as UARTs and USB adapters
// do (tests/platform/fake_uart_driver.h), where a pseudo-terminal would
// forgive: bytes that take time to leave, CTS that holds them, a driver that
// drops the handshake, keeps its speed or lacks a call.
#include <gtest/gtest.h>

#include <cerrno>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/fake_uart_driver.h"
#include "platform/line_timing.h"
#include "platform/platform.h"

namespace {

class UartDriver : public ::testing::Test {
protected:
    void install(simline::UartModel::Options options = {}) {
        char name[128] = {};
        int slave = -1;
        ASSERT_EQ(openpty(&master_, &slave, name, nullptr, nullptr), 0);
        ::close(slave);
        device_ = name;
        driver_ = &fakeuart::install(device_, options);
    }
    void SetUp() override { install(); }
    void TearDown() override {
        fakeuart::uninstall();
        ::close(master_);
    }
    platform::PortHandle open() {
        platform::PortHandle port = platform::openPort(device_.c_str());
        EXPECT_NE(port, platform::kInvalidPort) << platform::lastError();
        return port;
    }
    void write(platform::PortHandle port, const std::string& bytes) {
        std::uint32_t sent = 0;
        ASSERT_TRUE(platform::writePort(port, bytes.data(), static_cast<std::uint32_t>(bytes.size()), sent));
        ASSERT_EQ(sent, bytes.size());
    }
    void startAt(std::uint32_t baud, speed_t code) {
        cfsetispeed(&driver_->stored, code);
        cfsetospeed(&driver_->stored, code);
        driver_->uart.setSpeed(baud, driver_->nowUs);
    }
    // Every byte that left the wire went out whole at `baud`.
    void expectSentWholeAt(std::size_t count, std::uint32_t baud) {
        driver_->uart.advanceTo(driver_->nowUs + 10'000'000);
        const auto& sent = driver_->uart.sent();
        ASSERT_EQ(sent.size(), count);
        for (const auto& byte : sent) {
            EXPECT_EQ(byte.baud, baud);
            EXPECT_FALSE(byte.garbled);
        }
    }

    int master_ = -1;
    std::string device_;
    fakeuart::Driver* driver_ = nullptr;
};

// The line model itself: what the tests above rely on to see a fault.
TEST(UartLine, BytesLeaveAtTheLineRateAndASpeedChangeGarblesOnlyTheOneOnTheWire) {
    simline::UartModel uart;
    const std::uint64_t slowUs = simline::byteTimeUs(9600);
    const std::uint8_t bytes[] = {'a', 'b'};
    ASSERT_EQ(uart.write(bytes, 2, 0), 2u);
    EXPECT_EQ(uart.emptyAtUs(0), 2 * slowUs);
    uart.setSpeed(115200, slowUs / 2);
    uart.advanceTo(10'000'000);
    const auto& sent = uart.sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_TRUE(sent[0].garbled);
    EXPECT_EQ(sent[0].doneUs, slowUs);
    EXPECT_FALSE(sent[1].garbled);
    EXPECT_EQ(sent[1].baud, 115200u);
    EXPECT_EQ(sent[1].doneUs, slowUs + simline::byteTimeUs(115200));
}

// The key is in the FIFO, where the drain of most USB adapters does not look.
TEST_F(UartDriver, TheLastKeyLeavesWholeBeforeTheOldSpeedComesBack) {
    driver_->drainWaitsForTransmitter = false;
    platform::PortHandle port = open();
    ASSERT_TRUE(platform::configureLine(port, 115200, true));
    write(port, "1");
    platform::closePort(port);
    EXPECT_EQ(driver_->calls.back(), "close");
    EXPECT_GE(driver_->indexOf("tcsetattr 9600"), 0);
    expectSentWholeAt(1, 115200);
}

// A deep FIFO at a slow speed holds more than the margin covers: the
// driver's own wait for the transmitter has to come first.
TEST_F(UartDriver, AFullFifoEmptiesBeforeTheSettingsChange) {
    fakeuart::uninstall();
    ::close(master_);
    install({.bufferBytes = 4096, .fifoBytes = 128, .driverKeepsHandshake = true});
    startAt(38400, B38400);
    platform::PortHandle port = open();
    ASSERT_TRUE(platform::configureLine(port, 9600, true));
    write(port, std::string(200, 'x'));
    platform::closePort(port);
    expectSentWholeAt(200, 9600);
}

TEST_F(UartDriver, CloseOnALineHeldByCtsEndsWithinTheBoundAndSendsNothingLater) {
    platform::PortHandle port = open();
    ASSERT_TRUE(platform::configureLine(port, 115200, true));
    driver_->uart.setClearToSend(false, driver_->nowUs);
    write(port, std::string(100, 'x'));
    const std::uint64_t startUs = driver_->nowUs;
    platform::closePort(port);
    EXPECT_FALSE(driver_->drainWouldHang);
    EXPECT_LE(driver_->nowUs - startUs, std::uint64_t{platform::kCloseDrainLimitMs} * 1000 + 1000);
    ASSERT_GE(driver_->indexOf("tcflush"), 0);
    EXPECT_LT(driver_->indexOf("tcflush"), driver_->indexOf("tcsetattr 9600"));
    // The box comes back: nothing stale leaves at the restored speed.
    driver_->uart.setClearToSend(true, driver_->nowUs);
    expectSentWholeAt(0, 9600);
}

TEST_F(UartDriver, ATimedWriteBehindCtsFailsInItsLimitAndIsNotSentLater) {
    platform::PortHandle port = open();
    ASSERT_TRUE(platform::configureLine(port, 115200, true));
    ASSERT_TRUE(platform::setWriteTimeouts(port, 1, 10));
    write(port, "key");
    EXPECT_TRUE(platform::waitUntilSent(port, 50));  // CTS on: it leaves

    driver_->uart.setClearToSend(false, driver_->nowUs);
    write(port, "key");
    const std::uint64_t startUs = driver_->nowUs;
    EXPECT_FALSE(platform::waitUntilSent(port, 50));
    EXPECT_EQ(platform::lastError(), platform::kErrorCounterTimeout);
    EXPECT_GE(driver_->nowUs - startUs, 50'000u);
    EXPECT_LE(driver_->nowUs - startUs, 60'000u);
    driver_->uart.setClearToSend(true, driver_->nowUs);
    platform::closePort(port);
    expectSentWholeAt(3, 115200);
}

TEST_F(UartDriver, ADriverWithoutExclusiveModeOrModemLinesStillServes) {
    for (const int code : {ENOTTY, EINVAL}) {
        SCOPED_TRACE(code);
        driver_->exclusiveError = code;
        driver_->modemLinesError = code;
        platform::PortHandle port = open();
        ASSERT_NE(port, platform::kInvalidPort);
        EXPECT_TRUE(platform::configureLine(port, 38400, true));
        EXPECT_TRUE(platform::configureLine(port, 38400, false));
        platform::LineStatus status{};
        ASSERT_TRUE(platform::getLineStatus(port, status));
        EXPECT_FALSE(status.modemLinesKnown);
        platform::closePort(port);
    }
    // Any other failure of the exclusive mode still refuses the port.
    driver_->exclusiveError = EIO;
    EXPECT_EQ(platform::openPort(device_.c_str()), platform::kInvalidPort);
    EXPECT_EQ(platform::lastError(), static_cast<std::uint32_t>(EIO));
}

TEST_F(UartDriver, TheHandshakeAndCtsAreReportedAsTheDriverHasThem) {
    platform::PortHandle port = open();
    ASSERT_TRUE(platform::configureLine(port, 115200, true));
    platform::LineStatus status{};
    ASSERT_TRUE(platform::getLineStatus(port, status));
    EXPECT_TRUE(status.handshakeOn);
    EXPECT_TRUE(status.modemLinesKnown);
    EXPECT_TRUE(status.clearToSend);
    driver_->uart.setClearToSend(false, driver_->nowUs);
    ASSERT_TRUE(platform::getLineStatus(port, status));
    EXPECT_FALSE(status.clearToSend);
    platform::closePort(port);

    fakeuart::uninstall();
    ::close(master_);
    install({.bufferBytes = 4096, .fifoBytes = 16, .driverKeepsHandshake = false});
    port = open();
    ASSERT_TRUE(platform::configureLine(port, 115200, true));
    ASSERT_TRUE(platform::getLineStatus(port, status));
    EXPECT_FALSE(status.handshakeOn);
    platform::closePort(port);
}

TEST_F(UartDriver, ASpeedTheLineDoesNotRunAtFailsTheSet) {
    platform::PortHandle port = open();
    driver_->keepsSpeed = true;
    EXPECT_FALSE(platform::configureLine(port, 115200, true));
    EXPECT_EQ(platform::lastError(), platform::kErrorSpeedNotApplied);
    EXPECT_FALSE(platform::setBaudRate(port, 38400));
    EXPECT_EQ(platform::lastError(), platform::kErrorSpeedNotApplied);
    driver_->keepsSpeed = false;
    EXPECT_TRUE(platform::setBaudRate(port, 38400));
    platform::closePort(port);
}

TEST_F(UartDriver, ACustomSpeedIsClearedOrFailsTheSet) {
    driver_->customSpeed = true;
    platform::PortHandle port = open();
    EXPECT_TRUE(platform::configureLine(port, 38400, true));
    EXPECT_FALSE(driver_->customSpeed);

    driver_->customSpeed = true;
    driver_->customSpeedSticks = true;
    EXPECT_FALSE(platform::configureLine(port, 38400, true));
    EXPECT_EQ(platform::lastError(), platform::kErrorSpeedNotApplied);

    // A driver without the call has no custom speed to clear.
    driver_->hasSerialInfo = false;
    EXPECT_TRUE(platform::configureLine(port, 38400, true));
    platform::closePort(port);
}

TEST_F(UartDriver, ABoxWithoutHandshakeLinesHasThemDroppedBeforeTheSettings) {
    platform::PortHandle port = open();
    ASSERT_TRUE(platform::configureLine(port, 38400, false));
    const int dropped = driver_->indexOf("TIOCMBIC");
    ASSERT_GE(dropped, 0);
    EXPECT_LT(dropped, driver_->indexOf("tcsetattr"));
    EXPECT_EQ(driver_->dtrRts, 0);
    ASSERT_TRUE(platform::configureLine(port, 38400, true));
    EXPECT_EQ(driver_->dtrRts & TIOCM_DTR, TIOCM_DTR);
    platform::closePort(port);
}

}  // namespace
