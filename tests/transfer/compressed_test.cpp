#include "transfer/compressed.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image/padded_image.h"
#include "common/status.h"
#include "support/bunzip2.h"
#include "support/payload.h"
#include "support/temp_directory.h"
#include "support/transfer_flags.h"
#include "transfer/send_file.h"
#include "support/image_bytes.h"
#include "transfer_line.h"

using test_support::kNoProgress;

namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

std::uint32_t scanAll(CompressedReplyScan& scan, std::initializer_list<const char*> reads) {
    for (const char* read : reads) {
        const std::uint32_t status = scanCompressedReply(scan, read);
        if (status != 0) return status;
    }
    return 0;
}

TEST(CompressedReplyScan, MarkersSpareTheirCharactersTheClasses) {
    // An "F" waits to see whether the flash-id message follows; when it breaks
    // off, the "F" was the box's failure character after all.
    CompressedReplyScan ferror;
    EXPECT_EQ(scanAll(ferror, {"FERROR: no room\nrest"}), UPD_ERR_FLASH_FAILED);
    CompressedReplyScan fDot;
    EXPECT_EQ(scanAll(fDot, {"F"}), 0u);
    EXPECT_EQ(pendingCompressedScanStatus(fDot), UPD_ERR_FLASH_FAILED);
    EXPECT_EQ(scanAll(fDot, {"."}), UPD_ERR_FLASH_FAILED);
    CompressedReplyScan errFor;
    EXPECT_EQ(scanAll(errFor, {"ERRFOR:"}), UPD_ERR_FLASH_FAILED);
    CompressedReplyScan flashId;
    EXPECT_EQ(scanAll(flashId, {"Flash's manufacturer", " and/or device ids dont match!"}), UPD_ERR_FLASH_ID_MISMATCH);
    CompressedReplyScan clean;
    EXPECT_EQ(scanAll(clean, {"..e.p.ERROR"}), 0u);
    EXPECT_EQ(pendingCompressedScanStatus(clean), 0u);

    CompressedReplyScan warnings;
    EXPECT_EQ(scanAll(warnings, {":::::e:::::p:::::.;;;;;"}), 0u);
    EXPECT_EQ(scanAll(warnings, {";"}), UPD_ERR_FLASH_FAILED);
    for (const char* failure : {"?", "U"}) {
        CompressedReplyScan scan;
        EXPECT_EQ(scanAll(scan, {failure}), UPD_ERR_FLASH_FAILED);
    }
}

TEST(CompressedReplyScan, StopAndZeroBytesAsInTheStreamTransfer) {
    CompressedReplyScan stop;
    EXPECT_EQ(scanAll(stop, {"..S", "TOP\r\nrest"}), UPD_ERR_BOX_STOP);
    EXPECT_STREQ(boxErrorText, "STOP");
    CompressedReplyScan doubled;  // as in the stream transfer: SSTOP is no marker
    EXPECT_EQ(scanAll(doubled, {"SSTOP"}), 0u);

    CompressedReplyScan afterZero;
    EXPECT_EQ(scanCompressedReply(afterZero, std::string_view(".\0?", 3)), UPD_ERR_FLASH_FAILED);
    CompressedReplyScan errorAfterZero;
    EXPECT_EQ(scanCompressedReply(errorAfterZero, std::string_view("\0ERROR: crc\0x", 14)), UPD_ERR_BOX_ERROR);
}

TEST(CompressedReplyScan, ErrorTextIsTheBoxsLineFromItsMarker) {
    CompressedReplyScan split;
    EXPECT_EQ(scanAll(split, {"..ER", "ROR: crc\nnext line"}), UPD_ERR_BOX_ERROR);
    EXPECT_STREQ(boxErrorText, "ERROR: crc");

    std::strcpy(boxErrorText, "text of an earlier box");
    CompressedReplyScan leadingLineFeed;
    EXPECT_EQ(scanAll(leadingLineFeed, {"\nERROR: erase\n"}), UPD_ERR_BOX_ERROR);
    EXPECT_STREQ(boxErrorText, "ERROR: erase");

    const std::string longLine = "ERROR:" + std::string(1500, 'x');
    CompressedReplyScan longScan;
    EXPECT_EQ(scanCompressedReply(longScan, longLine.c_str()), UPD_ERR_BOX_ERROR);
    EXPECT_EQ(std::strlen(boxErrorText), 999u);
}

class CompressedTest : public TransferLineTest {
protected:
    void SetUp() override { openLine(); }

    struct Frame {
        std::uint32_t n = 0;
        Bytes header;  // the extension bytes
        Bytes payload;
        std::uint32_t sum = 0;
    };
    static Frame parseFrame(const Bytes& frame, std::size_t extension) {
        Frame parsed;
        EXPECT_GE(frame.size(), 8 + extension);
        if (frame.size() < 8 + extension) return parsed;
        parsed.n = readBigEndian32(frame.data());
        EXPECT_EQ(frame.size(), parsed.n + 8 + extension);
        if (frame.size() != parsed.n + 8 + extension) return parsed;
        parsed.header.assign(frame.begin() + 4, frame.begin() + 4 + static_cast<long>(extension));
        parsed.payload.assign(frame.begin() + 4 + static_cast<long>(extension), frame.end() - 4);
        parsed.sum = readBigEndian32(frame.data() + frame.size() - 4);
        return parsed;
    }
    // Unpacks with the library's decoder, which the program never calls.
    Bytes bunzip2(const Bytes& payload) { return test_support::bunzip2(payload); }

    test_support::TempDirectory dir{"update-transfer-"};
};

TEST_F(CompressedTest, Type2FrameHoldsABzip2StreamOfTheFile) {
    const Bytes image = test_support::textLikeBytes(30000, 1);
    const std::string path = dir.write("image", image);
    CaptureStderr();
    EXPECT_EQ(sendFileCompressed(port, path.c_str(), 2, 0x12345678, 120000, kNoProgress, kKeepHeader), 1);
    EXPECT_EQ(GetCapturedStderr(), "Compressing file\n");
    const Frame frame = parseFrame(simline::bytesWritten(), 1);
    EXPECT_EQ(frame.header, Bytes{2});
    ASSERT_GE(frame.payload.size(), 4u);
    EXPECT_EQ(std::string(frame.payload.begin(), frame.payload.begin() + 4), "BZh1");
    EXPECT_EQ(frame.sum, addByteSum(0, frame.payload.data(), static_cast<std::uint32_t>(frame.payload.size())));
    EXPECT_LT(frame.payload.size(), image.size() / 2);
    EXPECT_EQ(bunzip2(frame.payload), image);
}

TEST_F(CompressedTest, Type5FrameCarriesTheBootloaderId) {
    const Bytes image = test_support::textLikeBytes(5000, 2);
    const std::string path = dir.write("image", image);
    CaptureStderr();
    EXPECT_EQ(sendFileCompressed(port, path.c_str(), 5, 4 * 65536 + 7, 120000, kNoProgress, kKeepHeader), 1);
    GetCapturedStderr();
    const Frame frame = parseFrame(simline::bytesWritten(), 5);
    EXPECT_EQ(frame.header, (Bytes{5, 0x00, 0x04, 0x00, 0x07}));
    EXPECT_EQ(bunzip2(frame.payload), image);  // unchanged without the rewrite
}

TEST_F(CompressedTest, HeaderRewriteChangesOnlyTheImagesTypeAndId) {
    Bytes image = test_support::textLikeBytes(8000, 3);
    writeBigEndian32(image.data(), 7987);
    image[4] = 4;
    writeBigEndian32(image.data() + 5, 0x00040002);
    const std::string path = dir.write("image", image);
    CaptureStderr();
    EXPECT_EQ(sendFileCompressed(port, path.c_str(), 6, 0x00040063, 120000, kNoProgress, kOverrideHeader), 1);
    Bytes expected = image;
    expected[4] = 6;
    writeBigEndian32(expected.data() + 5, 0x00040063);
    EXPECT_EQ(bunzip2(parseFrame(simline::bytesWritten(), 5).payload), expected);

    const std::size_t before = simline::bytesWritten().size();
    EXPECT_EQ(sendFileCompressed(port, path.c_str(), 2, 0x00040063, 120000, kNoProgress, kOverrideHeader), 1);
    GetCapturedStderr();
    const Bytes all = simline::bytesWritten();
    expected = image;
    expected[4] = 2;
    EXPECT_EQ(bunzip2(parseFrame(Bytes(all.begin() + static_cast<long>(before), all.end()), 1).payload), expected);
}

// Random data whose type 2 frame is exactly 50000 bytes (the tests check it).
Bytes dataForFrameOf50000() { return test_support::randomBytes(49423, 1); }

TEST_F(CompressedTest, ProgressIsTakenBeforeEachWrite) {
    const Bytes data = dataForFrameOf50000();
    const std::string path = dir.write("image", data);
    CaptureStderr();
    CaptureStdout();
    EXPECT_EQ(sendFileCompressed(port, path.c_str(), 2, 0, 120000, kShowProgress, kKeepHeader), 1);
    EXPECT_EQ(GetCapturedStdout(), progressLine(20) + progressLine(40) + progressLine(61) + progressLine(81));
    GetCapturedStderr();
    ASSERT_EQ(simline::bytesWritten().size(), 50000u);
    EXPECT_EQ(writeSizes(), (std::vector<std::size_t>{10240, 10240, 10240, 10240, 9040}));
}

TEST_F(CompressedTest, LimitBoundsAStallNotTheWholeFrame) {
    platform::closePort(port);
    simline::uninstall();
    openLine(9600);  // 50 kB take about 52 s at this speed
    const Bytes data = dataForFrameOf50000();
    const std::string path = dir.write("image", data);
    CaptureStderr();
    EXPECT_EQ(sendFileCompressed(port, path.c_str(), 2, 0, 20000, kNoProgress, kKeepHeader), 1);
    GetCapturedStderr();
    EXPECT_EQ(simline::bytesWritten().size(), 50000u);
    EXPECT_GT(platform::millis(), 40000u);  // twice the limit, and no time-out
}

TEST_F(CompressedTest, BoxThatStopsTakingDataTimesOutAfterTheLimit) {
    platform::closePort(port);
    simline::uninstall();
    boxmodel::Scenario scenario;
    scenario.version = "4.2";
    scenario.imageId = 0;
    scenario.transferFault = boxmodel::TransferFault::StopReading;
    scenario.faultAtByte = 30000;
    openAtFilePrompt(scenario, '7');
    const std::string path =
        dir.write("image", test_support::paddedImage(test_support::randomBytes(60000, 5), {4, 0, 0, 0, 0}));
    CaptureStderr();
    const std::uint32_t start = platform::millis();
    EXPECT_EQ(sendFileCompressed(port, path.c_str(), 4, 0, 20000, kNoProgress, kKeepHeader), 0);
    GetCapturedStderr();
    EXPECT_EQ(platform::lastError(), UPD_ERR_TIMEOUT);
    EXPECT_GE(simline::bytesWritten().size(), 30000u);
    EXPECT_LT(simline::bytesWritten().size(), 60000u);
    // about 3 s of data, writes that still take the PC's buffer's last bytes
    // (10 s each at most), then 20 s without progress
    EXPECT_GT(platform::millis() - start, 20000u);
    EXPECT_LT(platform::millis() - start, 3000u + 2 * 10250u + 20000u);
}

TEST_F(CompressedTest, PortThatNeverTakesAByteTimesOut) {
    sink.accepting = false;
    platform::closePort(port);
    simline::uninstall();
    simline::LineOptions noBuffer;
    noBuffer.transmitBufferBytes = 0;  // not even the PC's own buffer takes a byte
    openLine(115200, noBuffer);
    const std::string path = dir.write("image", test_support::textLikeBytes(20000, 4));
    CaptureStderr();
    EXPECT_EQ(sendFileCompressed(port, path.c_str(), 4, 0, 3000, kNoProgress, kKeepHeader), 0);
    GetCapturedStderr();
    EXPECT_EQ(platform::lastError(), UPD_ERR_TIMEOUT);
    EXPECT_GT(platform::millis(), 3000u);
    EXPECT_LT(platform::millis(), 3000u + 2 * 10250u);
    EXPECT_TRUE(simline::bytesWritten().empty());
}

TEST_F(CompressedTest, BoxErrorDuringTheFrame) {
    platform::closePort(port);
    simline::uninstall();
    boxmodel::Scenario scenario;
    scenario.version = "4.2";
    scenario.imageId = 0;
    scenario.transferFault = boxmodel::TransferFault::Error;
    scenario.faultText = "no room";
    scenario.faultAtByte = 3000;
    openAtFilePrompt(scenario, '7');
    const std::string path =
        dir.write("image", test_support::paddedImage(test_support::randomBytes(60000, 5), {4, 0, 0, 0, 0}));
    CaptureStderr();
    EXPECT_EQ(sendFileCompressed(port, path.c_str(), 4, 0, 120000, kNoProgress, kKeepHeader), 0);
    GetCapturedStderr();
    EXPECT_EQ(platform::lastError(), UPD_ERR_BOX_ERROR);
    EXPECT_STREQ(boxErrorText, "ERROR: no room");
}

TEST_F(CompressedTest, UnknownImageTypeSendsNothing) {
    const std::string path = dir.write("image", test_support::textLikeBytes(100, 6));
    CaptureStderr();
    EXPECT_EQ(sendFileCompressed(port, path.c_str(), 3, 0, 120000, kNoProgress, kKeepHeader), 0);
    EXPECT_EQ(GetCapturedStderr(), "You cannot use compressed download with this version (3)\n");
    EXPECT_EQ(platform::lastError(), UPD_ERR_COMPRESSION);
    EXPECT_TRUE(simline::bytesWritten().empty());
}

TEST_F(CompressedTest, ImageThatDoesNotFitCompressedIsRefused) {
    const std::string path = dir.write("image", test_support::randomBytes(kCompressionBufferSize, 7));
    CaptureStderr();
    EXPECT_EQ(sendFileCompressed(port, path.c_str(), 4, 0, 120000, kNoProgress, kKeepHeader), 0);
    EXPECT_EQ(GetCapturedStderr(), "Compressing file\ncan not compress file (rc=-8) !!\nSwitch off settop box !!\n");
    EXPECT_EQ(platform::lastError(), UPD_ERR_COMPRESSION);
    EXPECT_TRUE(simline::bytesWritten().empty());
}

TEST_F(CompressedTest, MissingFileLeavesTheSystemsError) {
    EXPECT_EQ(sendFileCompressed(port, dir.file("missing").c_str(), 2, 0, 120000, kNoProgress, kKeepHeader), 0);
    EXPECT_EQ(platform::lastError(), static_cast<std::uint32_t>(ENOENT));
}

}  // namespace
