// What fuzzing found, each case written out plainly so that it reads as the
// fault it was; the inputs themselves stay in the corpus beside.
#include <gtest/gtest.h>

#include <string>

#include "boxsim_options.h"
#include "platform/serial_ports.h"
#include "control/access.h"
#include "fuzz_support.h"
#include "common/status.h"
#include "simplatform/sim_platform.h"

namespace {

struct VersionQueryLimit : testing::Test {
    void TearDown() override {
        if (port != platform::kInvalidPort) platform::closePort(port);
        simline::uninstall();
    }
    // The box sends `reply` delayMs after the port opens; the query runs
    // with the access's limit and tells the milliseconds it took.
    std::uint32_t query(const std::string& reply, std::uint32_t delayMs, int& result) {
        peer.pieces = {{false, delayMs * 1000ull, reply}};
        simline::install(peer);
        port = platform::openPort(platform::defaultDeviceForComPort(1).c_str());
        EXPECT_NE(port, platform::kInvalidPort);
        EXPECT_TRUE(platform::configureLine(port, 115200, true));
        const std::uint32_t start = platform::millis();
        result = queryBootloaderVersion(port, version, 15000);
        return platform::millis() - start;
    }
    fuzz::AnsweringPeer peer;
    platform::PortHandle port = platform::kInvalidPort;
    BootloaderVersion version{};
};

// The box starts its version line shortly before the limit and never ends
// it: each byte read must not bring a fresh 15 s of its own.
TEST_F(VersionQueryLimit, EndsAtItsLimitWhenTheLineBreaksOffLate) {
    int result = -1;
    const std::uint32_t took = query("\r\nBootloader Version 4.", 14'000, result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(platform::lastError(), UPD_ERR_TIMEOUT);
    EXPECT_GE(took, 15'000u);
    EXPECT_LE(took, 15'005u);
}

TEST_F(VersionQueryLimit, EndsAtItsLimitWhenTheMarkerBreaksOffLate) {
    int result = -1;
    const std::uint32_t took = query("\r\nBootloader Ver", 14'900, result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(platform::lastError(), UPD_ERR_TIMEOUT);
    EXPECT_LE(took, 15'005u);
}

// A line completed just in time still counts.
TEST_F(VersionQueryLimit, TakesALineThatEndsJustInTime) {
    int result = -1;
    query("\r\nBootloader Version 4.12\r\n", 14'990, result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(version, (BootloaderVersion{4, 12}));
}

// boxsim turns its time-out into microseconds; a value that does not fit
// must be refused on the command line, not overflow later.
TEST(BoxsimTimeout, RefusesWhatCannotBeCountedInMicroseconds) {
    for (const char* value : {"inf", "nan", "1e300", "-5", "0"}) {
        const auto result = boxsim::parseOptions({"--link", "/tmp/com1", "--timeout", value});
        EXPECT_TRUE(result.error.has_value()) << value;
    }
    const auto result = boxsim::parseOptions({"--link", "/tmp/com1", "--timeout", "2.5"});
    EXPECT_FALSE(result.error.has_value());
    EXPECT_EQ(result.options.timeoutS, 2.5);
}

}  // namespace
