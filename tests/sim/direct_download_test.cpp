// Boot loaders 2.0 to 4.99 (but 4.11 to 4.13) with the PC's side played by
// the test: the packed image after "3", the compressed frame after "7", what
// each generation takes and what it refuses.
#include <gtest/gtest.h>

#include <string>

#include "bench.h"
#include "packed_decoder.h"
#include "support/image_bytes.h"
#include "support/payload.h"

using boxmodel::Outcome;
using boxmodel::Scenario;
using boxmodel::TransferFault;
using boxtest::Bench;
using test_support::Bytes;
using test_support::bzip2;
using test_support::paddedImage;
using test_support::typeAndId;

namespace {

Bytes samplePayload(std::size_t size) { return test_support::patternBytes(size, 31); }

// The image through the code table, the last byte filled with ones.
Bytes pack(const Bytes& data, bool fillWithOnes = true) {
    std::string bits;
    for (const std::uint8_t b : data) bits += sim::kPackedCodeBits[b];
    while (bits.size() % 8 != 0) bits += fillWithOnes ? '1' : '0';
    Bytes out;
    for (std::size_t i = 0; i < bits.size(); i += 8) out.push_back(static_cast<std::uint8_t>(std::stoi(bits.substr(i, 8), nullptr, 2)));
    return out;
}

Scenario boxOf(const std::string& version) {
    Scenario scenario;
    scenario.version = version;
    scenario.programmingMs = 100;
    return scenario;
}

// Wakes the box and chooses the download; true once "file:" has come.
bool reachFilePrompt(Bench& bench, char key) {
    bench.send(" quorcom");
    bench.waitMs(400);
    if (bench.takeHeard().find("choice!:") == std::string::npos) return false;
    bench.waitMs(500);  // the box listens at 115200 a while after the prompt
    bench.send(std::string(1, key));
    bench.waitMs(200);
    return bench.takeHeard().find("file:") != std::string::npos;
}

// The whole download; what the box said after "file:".
std::string download(Bench& bench, char key, const Bytes& bytes) {
    EXPECT_TRUE(reachFilePrompt(bench, key));
    bench.send(bytes);
    bench.waitMs(2000);
    return bench.takeHeard();
}

TEST(Generation4Box, TakesAFrameOfItsTypeAndIdAndFlashesTheInflatedImage) {
    struct Case {
        const char* version;
        std::uint8_t frameType;
        std::uint8_t imageType;
    };
    for (const Case& c : {Case{"4.2", 4, 4}, Case{"4.7", 5, 5}, Case{"4.14", 5, 5}, Case{"4.99", 6, 6},
                          Case{"4.91", 4, 4}, Case{"4.21", 4, 18}, Case{"4.24", 18, 18}}) {
        SCOPED_TRACE(c.version);
        Bench bench(boxOf(c.version));
        const std::uint32_t id = boxmodel::traitsOf(c.version).major << 16 | boxmodel::traitsOf(c.version).minor;
        const Bytes image = paddedImage(samplePayload(70000), typeAndId(c.imageType, id));
        const std::string said = download(bench, '7', paddedImage(bzip2(image), typeAndId(c.frameType, id)));
        EXPECT_NE(said.find("finished!"), std::string::npos) << said;
        EXPECT_NE(said.find('.'), std::string::npos);
        EXPECT_EQ(bench.box.outcome().kind, Outcome::Kind::Flashed) << bench.box.outcome().detail;
        EXPECT_TRUE(bench.box.flashedImage() == image);
    }
}

TEST(Generation4Box, RefusesAFrameOfAnotherTypeOrIdWhileItComesIn) {
    struct Case {
        const char* version;
        std::uint8_t type;
        std::uint32_t id;
        std::optional<std::uint32_t> scenarioId;
        const char* reason;
    };
    for (const Case& c : {Case{"4.6", 4, 0x40006, {}, "frame carries image type 4, not 5"},
                          Case{"4.2", 18, 0x40002, {}, "frame carries image type 18, not 4"},
                          Case{"4.2", 4, 0x40003, {}, "frame carries image id 0x40003, not 0x40002"},
                          Case{"4.2", 4, 0x40002, 0x12345, "frame carries image id 0x40002, not 0x12345"}}) {
        SCOPED_TRACE(c.reason);
        Scenario scenario = boxOf(c.version);
        scenario.imageId = c.scenarioId;
        Bench bench(scenario);
        const Bytes image = paddedImage(samplePayload(5000), typeAndId(c.type, c.id));
        const std::string said = download(bench, '7', paddedImage(bzip2(image), typeAndId(c.type, c.id)));
        // The marker while the PC still sends, the error line once it waits.
        EXPECT_NE(said.find(std::string("ERROR: ") + c.reason + "\r\n"), std::string::npos) << said;
        EXPECT_NE(said.find(std::string("ERRORgaga: ") + c.reason + "\n"), std::string::npos) << said;
        EXPECT_EQ(said.find("finished!"), std::string::npos);
        EXPECT_EQ(bench.box.outcome().kind, Outcome::Kind::Rejected);
        EXPECT_TRUE(bench.box.flashedImage().empty());
    }
}

TEST(Generation4Box, RefusesAWholeFrameThatDoesNotHoldASoundImage) {
    const Bytes image = paddedImage(samplePayload(20000), typeAndId(4, 0x40002));
    const Bytes good = paddedImage(bzip2(image), typeAndId(4, 0x40002));
    ASSERT_GT(good.size(), 200u);
    Bytes wrongFrameSum = good;
    wrongFrameSum[good.size() - 1] ^= 0x01;
    Bytes corruptStream = good;  // a payload byte changed and the frame's sum made to match
    corruptStream[9 + 100] ^= 0x10;
    corruptStream[corruptStream.size() - 1] += 0x10;
    if (good[9 + 100] & 0x10) corruptStream[corruptStream.size() - 1] -= 0x20;
    Bytes badInnerSum = image;
    badInnerSum.back() ^= 0x80;
    Bytes trailing = bzip2(image);
    trailing.push_back(0x42);
    const struct {
        const char* what;
        Bytes frame;
        const char* reason;
    } cases[] = {
        {"frame sum", wrongFrameSum, "does not match the compressed bytes'"},
        {"corrupt stream", corruptStream, "no bzip2 stream"},
        {"inner sum", paddedImage(bzip2(badInnerSum), typeAndId(4, 0x40002)), "inflated image: image sum"},
        {"trailing byte", paddedImage(trailing, typeAndId(4, 0x40002)), "1 bytes follow the payload's bzip2 stream"},
        {"not bzip2", paddedImage(samplePayload(3000), typeAndId(4, 0x40002)), "no bzip2 stream"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bench bench(boxOf("4.2"));
        const std::string said = download(bench, '7', c.frame);
        // All bytes are in: only the error line that ends the PC's wait.
        EXPECT_EQ(said.find("ERROR: "), std::string::npos) << said;
        EXPECT_NE(said.find("ERRORgaga: "), std::string::npos) << said;
        EXPECT_NE(said.find(c.reason), std::string::npos) << said;
        EXPECT_EQ(said.find("finished!"), std::string::npos);
        EXPECT_EQ(bench.box.outcome().kind, Outcome::Kind::Rejected) << bench.box.outcome().detail;
    }
}

TEST(Generation4Box, OffersOnlyTheCompressedDownload) {
    Bench bench(boxOf("4.3"));
    bench.send(" quorcom");
    bench.waitMs(900);
    const std::string menu = bench.takeHeard();
    EXPECT_NE(menu.find(" 7 - "), std::string::npos) << menu;
    bench.send("3");
    bench.waitMs(100);
    EXPECT_NE(bench.takeHeard().find("ERRORgaga: choice 3 not available\n"), std::string::npos);
    EXPECT_EQ(bench.box.outcome().code(), "refused:3");
}

TEST(Generation2Box, TakesThePackedImageAndEndsWhereItIsWhole) {
    for (const Bytes& extensionBytes : {Bytes{2}, Bytes{}, typeAndId(2, 0x20000)}) {
        SCOPED_TRACE(extensionBytes.size());
        Bench bench(boxOf("3.3"));
        const Bytes image = paddedImage(samplePayload(9000), extensionBytes);
        const Bytes stream = pack(image);
        EXPECT_LT(stream.size(), image.size());
        const std::string said = download(bench, '3', stream);
        EXPECT_NE(said.find("finished!"), std::string::npos) << said;
        EXPECT_EQ(bench.box.outcome().kind, Outcome::Kind::Flashed) << bench.box.outcome().detail;
        EXPECT_TRUE(bench.box.flashedImage() == image);
        EXPECT_TRUE(bench.box.downloadBytes() == stream);
    }
}

TEST(DirectDownload, ABoxThatHangsUpOnceTheImageIsInFlashesNothing) {
    for (const char key : {'3', '7'}) {
        SCOPED_TRACE(key);
        Scenario s = boxOf("3.3");
        s.hangUpAt = boxmodel::Step::Image;
        Bench bench(s);
        const Bytes image = paddedImage(samplePayload(9000), Bytes{2});
        download(bench, key, key == '3' ? pack(image) : paddedImage(bzip2(image), Bytes{2}));
        bench.waitMs(1000);  // ten times the programming time
        EXPECT_EQ(bench.box.outcome().code(), "hungup");
        EXPECT_TRUE(bench.box.flashedImage().empty());
    }
}

TEST(Generation2Box, RefusesAPackedStreamThatIsNoImage) {
    const Bytes image = paddedImage(samplePayload(3000), Bytes{2});
    Bytes spoiled = image;
    spoiled[100] ^= 0x04;  // payload byte: the sum no longer fits at any extension
    Bytes tooLong = image;
    tooLong.insert(tooLong.end(), 20, 0x55);  // goes on after the image
    const struct {
        const char* what;
        Bytes stream;
        const char* reason;
    } cases[] = {
        // Whole at the size of a 1-byte extension but for the sum: the box
        // gives up once the PC has gone quiet.
        {"sum", pack(spoiled), "ERRORgaga: the download stopped after"},
        {"more data", pack(tooLong), "no padded image: image sum 0x55555555"},
        {"fill of zeros", pack(paddedImage(samplePayload(3001), Bytes{2}), false), "ERRORgaga: the download stopped after"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bench bench(boxOf("2.0"));
        const std::string said = download(bench, '3', c.stream);
        EXPECT_NE(said.find(c.reason), std::string::npos) << said;
        EXPECT_EQ(said.find("finished!"), std::string::npos);
        EXPECT_EQ(bench.box.outcome().kind, Outcome::Kind::Rejected) << bench.box.outcome().detail;
    }
}

TEST(Generation2Box, TakesAType2FrameAfterTheKey7AndNoOther) {
    const Bytes image = paddedImage(samplePayload(8000), Bytes{2});
    {
        Bench bench(boxOf("4.1"));
        const std::string said = download(bench, '7', paddedImage(bzip2(image), Bytes{2}));
        EXPECT_NE(said.find("finished!"), std::string::npos) << said;
        EXPECT_TRUE(bench.box.flashedImage() == image);
    }
    {
        Bench bench(boxOf("2.0"));
        const std::string said = download(bench, '7', paddedImage(bzip2(image), typeAndId(4, 0x40002)));
        EXPECT_NE(said.find("ERROR: frame carries image type 4, not 2"), std::string::npos) << said;
        EXPECT_EQ(bench.box.outcome().kind, Outcome::Kind::Rejected);
    }
}

TEST(DirectDownload, AFrameThatStopsShortIsRefusedOnceThePcIsQuiet) {
    const Bytes frame = paddedImage(bzip2(paddedImage(samplePayload(5000), Bytes{2})), Bytes{2});
    Bench bench(boxOf("2.2"));
    ASSERT_TRUE(reachFilePrompt(bench, '7'));
    bench.send(Bytes(frame.begin(), frame.end() - 1));
    bench.waitMs(900);
    EXPECT_EQ(bench.takeHeard().find("ERROR"), std::string::npos) << "not while the PC may still send";
    bench.waitMs(200);
    EXPECT_NE(bench.takeHeard().find("ERRORgaga: the download stopped after " + std::to_string(frame.size() - 1) +
                                     " bytes, short of a whole image\n"),
              std::string::npos);
    EXPECT_EQ(bench.box.outcome().kind, Outcome::Kind::Rejected);
}

TEST(DirectDownload, TransferFaultsStrikeAtTheirByte) {
    Scenario scenario = boxOf("4.2");
    scenario.transferFault = TransferFault::Error;
    scenario.faultAtByte = 1000;
    scenario.faultText = "flash locked";
    Bench bench(scenario);
    const Bytes image = paddedImage(samplePayload(20000), typeAndId(4, 0x40002));
    const Bytes frame = paddedImage(bzip2(image), typeAndId(4, 0x40002));
    ASSERT_GT(frame.size(), 1000u);
    const std::string said = download(bench, '7', frame);
    EXPECT_NE(said.find("ERROR: flash locked\r\n"), std::string::npos) << said;
    EXPECT_EQ(bench.box.outcome().kind, Outcome::Kind::Aborted);
    EXPECT_TRUE(bench.box.flashedImage().empty());
}

}  // namespace
