// COM ports beyond COM9, on Windows only: reached with --port COM10, or with
// -p 1 once UPDATE_COM1 names COM10. Runs under Wine, where
// scripts/windows/wine-env.sh maps COM10 next to COM1 to COM4; a POSIX build
// has no COM names (its device names are proven by the port name tests).
#include <gtest/gtest.h>

#include "e2e/box_session.h"

namespace {

using e2e::BoxSession;
using e2e::SessionOptions;

const std::string kImage = e2e::paddedImage(e2e::samplePayload(3000, 9), 7);

SessionOptions onComTen(std::vector<std::string> updateArgs) {
    SessionOptions options;
    options.wineComPort = 10;
    options.boxsimArgs = {"--programming-ms", "100", "--timeout", "60", "--expect", "flashed"};
    options.updateArgs = std::move(updateArgs);
    options.files["image.pad"] = kImage;
    return options;
}

std::string bannerFor(const std::string& shown) {
    std::string banner = e2e::successBanner();
    const std::string numbered = "com port 1 ";
    banner.replace(banner.find(numbered), numbered.size(), "com port " + shown + " ");
    return banner;
}

class ComPortBeyondNine : public ::testing::Test {
protected:
    void SetUp() override {
        if (!e2e::underWine()) GTEST_SKIP() << "COM port names exist on Windows only (run under Wine by scripts/windows/e2e.sh)";
    }
};

TEST_F(ComPortBeyondNine, PortOptionInAnyLetterCaseReachesTheBoxAndNamesItsNumber) {
    for (const char* name : {"COM10", "com10"}) {
        test_support::TempDirectory dir;
        const BoxSession session = e2e::runSession(dir, onComTen({"--port", name, "image.pad"}));
        EXPECT_EQ(session.update.exitCode, 0) << name << "\n" << session.update.err << session.boxsim.out;
        EXPECT_EQ(session.boxsim.exitCode, 0) << session.boxsim.out << session.boxsim.err;
        EXPECT_TRUE(e2e::sameBytes(session.flashedImage, kImage)) << name;
        EXPECT_NE(session.update.out.find(bannerFor("10")), std::string::npos) << session.update.out;
    }
}

TEST_F(ComPortBeyondNine, EnvironmentLeadsPortOneThereAndMessagesKeepTheNumberGiven) {
    test_support::TempDirectory dir;
    SessionOptions options = onComTen({"-p", "1", "image.pad"});
    options.update.environment["UPDATE_COM1"] = "COM10";
    const BoxSession session = e2e::runSession(dir, options);
    EXPECT_EQ(session.update.exitCode, 0) << session.update.err << session.boxsim.out;
    EXPECT_TRUE(e2e::sameBytes(session.flashedImage, kImage));
    EXPECT_NE(session.update.out.find(e2e::successBanner()), std::string::npos) << session.update.out;
}

TEST_F(ComPortBeyondNine, ListingNamesTheMappedPortsInNumberOrder) {
    std::vector<std::string> argv = e2e::updateCommand();
    argv.push_back("--list-ports");
    const test_support::ProcessResult listed = test_support::run(argv);
    EXPECT_EQ(listed.exitCode, 0) << listed.err;
    const std::size_t four = listed.out.find("COM4 ");
    const std::size_t ten = listed.out.find("COM10 ");
    EXPECT_NE(four, std::string::npos) << listed.out;
    EXPECT_NE(ten, std::string::npos) << listed.out;
    EXPECT_LT(four, ten) << listed.out;
}

}  // namespace
