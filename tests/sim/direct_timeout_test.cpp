// The program's generation 2 and 4 procedures against the box model over the
// simulated line, whose clock is virtual: a box that stops taking data makes
// the transfer run into its two-minute limit without the test waiting for it.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "box.h"
#include "platform/serial_ports.h"
#include "procedures/procedures.h"
#include "simplatform/sim_platform.h"
#include "support/temp_directory.h"

using platform::PortHandle;

namespace {

std::string image(std::size_t payloadBytes, int type, std::uint32_t id) {
    std::string payload(payloadBytes, '\0');
    std::uint32_t state = 7;
    for (char& byte : payload) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 23);
    }
    auto big = [](std::uint32_t v) {
        return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                           static_cast<char>(v)};
    };
    std::uint32_t sum = 0;
    for (const unsigned char byte : payload) sum += byte;
    std::string out = big(static_cast<std::uint32_t>(payload.size())) + static_cast<char>(type);
    if (type != 2) out += big(id);
    return out + payload + big(sum);
}

struct Member {
    const char* version;
    int (*procedure)(PortHandle, const char*, std::uint32_t, std::uint32_t, int, bool, bool, int, bool);
    int type;
    bool compress;  // -c
    bool stored;    // -2 alone: the file goes out as it is
};

TEST(TransferTimeOut, ABoxThatStopsReadingEndsInTheTimeOutLine) {
    const Member members[] = {
        {"4.2", updateGeneration4Type4, 4, false, false},  // compressed on the fly
        {"4.99", updateGeneration4Type6, 6, true, false},
        {"2.0", updateGeneration2, 2, false, false},  // packed
        {"3.3", updateGeneration2, 2, true, false},   // compressed, type 2
    };
    const test_support::TempDirectory dir{"direct-timeout-"};
    const std::string path = dir.file("image.pad");
    for (const Member& m : members) {
        SCOPED_TRACE(m.version);
        const std::string bytes = image(60000, m.type, 0x40000u | 2u);
        {
            std::FILE* file = std::fopen(path.c_str(), "wb");
            ASSERT_NE(file, nullptr);
            std::fwrite(bytes.data(), 1, bytes.size(), file);
            std::fclose(file);
        }
        boxmodel::Scenario scenario;
        scenario.version = m.version;
        scenario.inBootloader = true;  // shows its menu when switched on
        scenario.switchOnMs = 10;
        scenario.imageId = 0x40002;
        scenario.transferFault = boxmodel::TransferFault::StopReading;
        scenario.faultAtByte = 3000;
        boxmodel::Box box(scenario);
        simline::install(box);
        const platform::PortHandle port = platform::openPort(platform::defaultDeviceForComPort(1).c_str());
        ASSERT_NE(port, platform::kInvalidPort);
        ASSERT_TRUE(platform::configureLine(port, 115200, true));
        ASSERT_TRUE(platform::setWriteTimeouts(port, 1, 10));

        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const std::uint64_t startUs = simline::nowUs();
        const int result = m.procedure(port, path.c_str(), static_cast<std::uint32_t>(60008), 0x40002, 0, m.compress,
                                       m.compress, 115200, false);
        const std::uint64_t tookMs = (simline::nowUs() - startUs) / 1000;
        ::testing::internal::GetCapturedStdout();
        const std::string err = ::testing::internal::GetCapturedStderr();
        simline::uninstall();

        EXPECT_EQ(result, 1);
        const std::string line = "Fatal error, settop box does not responding. Abort!\n\n";
        EXPECT_TRUE(err.size() >= line.size() && err.compare(err.size() - line.size(), line.size(), line) == 0)
            << err;
        EXPECT_EQ(box.outcome().kind, boxmodel::Outcome::Kind::Stalled);
        EXPECT_GE(tookMs, 120000u);
        EXPECT_LT(tookMs, 150000u);
    }
}

}  // namespace
