// The program's generation 2 and 4 procedures against the box model over the
// simulated line, whose clock is virtual: a box that stops taking data makes
// the transfer run into its two-minute limit without the test waiting for it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "box.h"
#include "platform/serial_ports.h"
#include "procedures/procedures.h"
#include "simplatform/sim_platform.h"
#include "support/image_bytes.h"
#include "support/payload.h"
#include "support/temp_directory.h"

using platform::PortHandle;

namespace {

// Bytes that do not compress, so that the compressed transfers are long too.
test_support::Bytes image(std::size_t payloadBytes, int type, std::uint32_t id) {
    const auto imageType = static_cast<std::uint8_t>(type);
    return test_support::paddedImage(test_support::randomBytes(payloadBytes, 7),
                                     type == 2 ? test_support::Bytes{imageType} : test_support::typeAndId(imageType, id));
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
        test_support::writeWholeFile(path, image(60000, m.type, 0x40000u | 2u));
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
