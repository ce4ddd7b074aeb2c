// The dialogue with the hyper bootloader: calling up its prompt, the mode
// byte, the packed image and the end of programming.
#include "transfer/hyperboot.h"

#include <gtest/gtest.h>

#include "on_the_line.h"
#include "common/status.h"

namespace {

class Hyperboot : public OnTheLine {
protected:
    void SetUp() override {
        OnTheLine::SetUp();
        // Zero bytes and a spread of others, so the packing has work to do.
        for (int i = 0; i < 3000; ++i) imageBytes.push_back(i % 5 == 0 ? '\0' : static_cast<char>(i * 37));
        writeAll("image.bin", imageBytes);
    }

    void startInHyperboot(Generation1BoxOptions options = {}) {
        options.startInHyperboot = true;
        connect(std::move(options));
    }

    int download(int modeByte) {
        return run([&] { return downloadViaHyperboot(port, "image.bin", modeByte); });
    }

    std::string imageBytes;
};

TEST_F(Hyperboot, SendsModeByteAndPackedImageAndWaitsForProgramming) {
    startInHyperboot();
    ASSERT_EQ(download(1), 0);

    EXPECT_EQ(box->blanks, 1);
    EXPECT_EQ(box->modeByte, 1);
    const auto unpacked = unpack(box->image, imageBytes.size());
    EXPECT_EQ(std::string(unpacked.begin(), unpacked.end()), imageBytes);

    EXPECT_TRUE(startsWith(out, "Download file...")) << out;
    EXPECT_TRUE(endsWith(out, "Done!                            \nProgramming the flash memory... Done!\n")) << out;
    EXPECT_EQ(err, "");
    EXPECT_TRUE(simline::portOpen());
    EXPECT_EQ(simline::currentBaud(), 115200u);
    // Nothing goes out before the port has paused and reached the hyper bootloader's speed.
    EXPECT_EQ(bytesWrittenBeforeSpeedChange(), 0u);
    for (const auto& event : simline::events()) {
        if (event.kind != simline::LineEvent::Kind::Sleep && event.kind != simline::LineEvent::Kind::SpeedChange) {
            continue;
        }
        EXPECT_EQ(event.kind, simline::LineEvent::Kind::Sleep) << "no pause before the speed switch";
        EXPECT_EQ(event.value, 300u);
        break;
    }
}

struct PromptCase {
    std::vector<std::string> answers;
    int blanks;
};

class HyperbootPrompt : public Hyperboot, public ::testing::WithParamInterface<PromptCase> {};

// Each attempt sees only what arrives within its own 500 ms, and only the
// whole prompt with its line feed counts.
TEST_P(HyperbootPrompt, BlankIsRepeatedUntilTheWholePromptArrivesInOneAttempt) {
    Generation1BoxOptions options;
    options.blankAnswers = GetParam().answers;
    startInHyperboot(options);
    ASSERT_EQ(download(0), 0) << err;
    EXPECT_EQ(box->blanks, GetParam().blanks);
    for (std::size_t i = 1; i < box->blankTimesUs.size(); ++i) {
        const std::uint64_t gapUs = box->blankTimesUs[i] - box->blankTimesUs[i - 1];
        EXPECT_GT(gapUs, 500'000u);
        EXPECT_LT(gapUs, 510'000u);
    }
}

INSTANTIATE_TEST_SUITE_P(Answers, HyperbootPrompt,
                         ::testing::Values(PromptCase{{"hyperboot\n"}, 1},
                                           PromptCase{{"", "", "hyperboot\n"}, 3},
                                           PromptCase{{"hyper", "boot\n", "hyperboot\n"}, 3},
                                           PromptCase{{"hyperboot", "starting\r\nhyperboot\n"}, 2}));

TEST_F(Hyperboot, StalledImageGetsTheDownloadFormOfTheTimeOutReport) {
    // More than the PC's transmit buffer holds, so the stall reaches sendFile.
    writeAll("image.bin", std::string(30000, '\x5A'));
    Generation1BoxOptions options;
    options.refuseImage = true;
    startInHyperboot(options);
    EXPECT_EQ(download(0), 1);
    EXPECT_EQ(box->modeByte, 0);
    EXPECT_EQ(err, "Fatal error, settop box does not respond. Abort!\n\n");
    EXPECT_EQ(out.find("Programming"), std::string::npos) << out;
    EXPECT_FALSE(simline::portOpen());
}

TEST_F(Hyperboot, BoxErrorInsteadOfTheEndOfProgrammingFails) {
    Generation1BoxOptions options;
    options.finishReply = "ERRORgaga: flash write\n";
    startInHyperboot(options);
    EXPECT_EQ(download(0), 1);
    EXPECT_EQ(err, "waitFor error: " + std::to_string(UPD_ERR_BOX_ERROR) + "\n");
    EXPECT_NE(out.find("ERRORgaga: flash write"), std::string::npos) << out;
    EXPECT_FALSE(simline::portOpen());
}

TEST_F(Hyperboot, StopAfterTheLastByteEndsTheWaitForTheEndOfProgramming) {
    // The box has all the image when it stops: the transfer has ended already.
    Generation1BoxOptions options;
    options.finishReply = "..STOP";
    startInHyperboot(options);
    EXPECT_EQ(download(0), 1);
    EXPECT_EQ(err, "Fatal error " + std::to_string(UPD_ERR_BOX_STOP) + ". Abort!\n\n");
    EXPECT_FALSE(simline::portOpen());
}

TEST_F(Hyperboot, FailedSpeedSwitchEndsQuietly) {
    startInHyperboot();
    simline::faults().setStateFails = true;
    EXPECT_EQ(download(0), 1);
    EXPECT_EQ(err, "");
    EXPECT_EQ(box->blanks, 0);
    EXPECT_FALSE(simline::portOpen());
}

}  // namespace
