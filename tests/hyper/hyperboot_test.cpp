// The dialogue with the hyper bootloader: calling up its prompt, the mode
// byte, the packed image and the end of programming.
#include "transfer/hyperboot.h"

#include <gtest/gtest.h>

#include "common/status.h"
#include "hyper_pad_bytes.h"
#include "on_the_line.h"

namespace {

// A padded image with zero bytes and a spread of others, so the packing has
// work to do.
Bytes spreadImage(std::uint32_t payloadBytes) {
    Bytes payload;
    for (std::uint32_t i = 0; i < payloadBytes; ++i)
        payload.push_back(i % 5 == 0 ? 0 : static_cast<std::uint8_t>(i * 37));
    return paddedImage(payload);
}

class Hyperboot : public OnTheLine {
protected:
    void SetUp() override {
        OnTheLine::SetUp();
        useImage(spreadImage(3000));
    }

    void useImage(const Bytes& bytes) {
        image = bytes;
        test_support::writeWholeFile("image.bin", std::string(bytes.begin(), bytes.end()));
    }

    // A box of 1.8 (mode byte 0), or 1.7 (mode byte 1), that is already
    // running its hyper bootloader.
    void startInHyperboot(boxmodel::Scenario scenario = {}, std::uint8_t mode = 0) {
        scenario.version = mode == 1 ? "1.7" : "1.8";
        scenario.inHyperBootloader = true;
        connect(std::move(scenario));
    }

    int download(int modeByte) {
        return run([&] { return downloadViaHyperboot(port, "image.bin", modeByte); });
    }

    // The blanks the PC sent to call the prompt up, with their times.
    static std::vector<std::uint64_t> blankTimesUs() {
        std::vector<std::uint64_t> times;
        for (const Sent& sent : bytesSent()) {
            if (sent.byte != ' ') break;
            times.push_back(sent.timeUs);
        }
        return times;
    }

    Bytes image;
};

TEST_F(Hyperboot, SendsModeByteAndPackedImageAndWaitsForProgramming) {
    startInHyperboot({}, 1);
    ASSERT_EQ(download(1), 0) << err;

    EXPECT_EQ(box->outcome().kind, boxmodel::Outcome::Kind::Flashed) << box->outcome().detail;
    EXPECT_EQ(box->flashedImage(), image);
    EXPECT_EQ(blankTimesUs().size(), 1u);

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

TEST_F(Hyperboot, WrongModeByteIsRefusedByTheBox) {
    startInHyperboot({}, 1);
    EXPECT_EQ(download(0), 1);
    EXPECT_EQ(box->outcome().kind, boxmodel::Outcome::Kind::Rejected);
    EXPECT_FALSE(simline::portOpen());
}

struct PromptCase {
    const char* name;
    unsigned answerFrom;  // the first blank the box answers
    std::size_t splitAt;  // 0: the prompt goes out whole
    bool noise;           // junk before every reply
    std::size_t blanks;
};

void PrintTo(const PromptCase& c, std::ostream* os) { *os << c.name; }

class HyperbootPrompt : public Hyperboot, public ::testing::WithParamInterface<PromptCase> {};

// Each attempt sees only what arrives within its own 500 ms, and only the
// whole prompt with its line feed counts.
TEST_P(HyperbootPrompt, BlankIsRepeatedUntilTheWholePromptArrivesInOneAttempt) {
    boxmodel::Scenario scenario;
    scenario.hyperbootAnswerFrom = GetParam().answerFrom;
    scenario.hyperbootSplit = GetParam().splitAt != 0;
    scenario.hyperbootSplitAt = GetParam().splitAt;
    scenario.noise = GetParam().noise;
    startInHyperboot(scenario);
    ASSERT_EQ(download(0), 0) << err;
    EXPECT_EQ(box->outcome().kind, boxmodel::Outcome::Kind::Flashed) << box->outcome().detail;
    const std::vector<std::uint64_t> times = blankTimesUs();
    EXPECT_EQ(times.size(), GetParam().blanks);
    for (std::size_t i = 1; i < times.size(); ++i) {
        const std::uint64_t gapUs = times[i] - times[i - 1];
        EXPECT_GT(gapUs, 500'000u);
        EXPECT_LT(gapUs, 510'000u);
    }
}

INSTANTIATE_TEST_SUITE_P(Answers, HyperbootPrompt,
                         ::testing::Values(PromptCase{"AtOnce", 1, 0, false, 1},
                                           PromptCase{"AtTheThirdBlank", 3, 0, false, 3},
                                           PromptCase{"InTwoHalves", 1, 5, false, 3},
                                           PromptCase{"LineFeedLate", 1, 9, false, 3},
                                           PromptCase{"AfterJunk", 1, 0, true, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Hyperboot, StalledImageGetsTheDownloadFormOfTheTimeOutReport) {
    // More than the PC's transmit buffer holds, so the stall reaches sendFile.
    const Bytes payload(30000, 0x5A);
    useImage(paddedImage(payload));
    boxmodel::Scenario scenario;
    scenario.transferFault = boxmodel::TransferFault::StopReading;
    scenario.faultInImage = true;
    scenario.faultAtByte = 100;
    startInHyperboot(scenario);
    EXPECT_EQ(download(0), 1);
    EXPECT_EQ(box->outcome().kind, boxmodel::Outcome::Kind::Stalled);
    EXPECT_EQ(err, "Fatal error, settop box does not respond. Abort!\n\n");
    EXPECT_EQ(out.find("Programming"), std::string::npos) << out;
    EXPECT_FALSE(simline::portOpen());
}

TEST_F(Hyperboot, BoxErrorInsteadOfTheEndOfProgrammingFails) {
    boxmodel::Scenario scenario;
    scenario.errorAt = boxmodel::Prompt::Programmed;
    scenario.errorText = "flash write";
    startInHyperboot(scenario);
    EXPECT_EQ(download(0), 1);
    EXPECT_EQ(err, "waitFor error: " + std::to_string(UPD_ERR_BOX_ERROR) + "\n");
    EXPECT_NE(out.find("ERRORgaga: flash write"), std::string::npos) << out;
    EXPECT_FALSE(simline::portOpen());
}

TEST_F(Hyperboot, StopAtTheLastByteEndsTheWaitForTheEndOfProgramming) {
    // A clean run first, to learn how many bytes the packed image takes.
    startInHyperboot();
    ASSERT_EQ(download(0), 0) << err;
    const std::size_t imageLineBytes = simline::bytesWritten().size() - blankTimesUs().size() - 1;
    platform::closePort(port);
    simline::uninstall();

    // The box has all the image when it stops: the transfer has ended already.
    boxmodel::Scenario scenario;
    scenario.transferFault = boxmodel::TransferFault::Stop;
    scenario.faultInImage = true;
    scenario.faultAtByte = imageLineBytes;
    startInHyperboot(scenario);
    EXPECT_EQ(download(0), 1);
    EXPECT_EQ(box->outcome().kind, boxmodel::Outcome::Kind::Stopped);
    EXPECT_EQ(err, "Fatal error " + std::to_string(UPD_ERR_BOX_STOP) + ". Abort!\n\n");
    EXPECT_NE(out.find("Done!"), std::string::npos) << "the image went out whole: " << out;
    EXPECT_FALSE(simline::portOpen());
}

TEST_F(Hyperboot, FailedSpeedSwitchEndsQuietly) {
    startInHyperboot();
    simline::faults().setStateFails = true;
    EXPECT_EQ(download(0), 1);
    EXPECT_EQ(err, "");
    EXPECT_TRUE(simline::bytesWritten().empty());
    EXPECT_FALSE(simline::portOpen());
}

}  // namespace
