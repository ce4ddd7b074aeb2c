#include "transfer/send_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "packed_decoder.h"
#include "common/status.h"
#include "support/payload.h"
#include "support/temp_directory.h"
#include "support/transfer_flags.h"
#include "transfer/packing.h"
#include "transfer/report.h"
#include "support/image_bytes.h"
#include "transfer_line.h"

using test_support::kNoProgress;

namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

std::uint32_t scanAll(StreamReplyScan& scan, std::initializer_list<const char*> reads, bool writeTookNothing = false) {
    for (const char* read : reads) {
        const std::uint32_t status = scanStreamReply(scan, read, writeTookNothing);
        if (status != 0) return status;
    }
    return 0;
}

TEST(StreamReplyScan, MarkersAcrossReadsAndTheTextKept) {
    StreamReplyScan scan;
    EXPECT_EQ(scanAll(scan, {"..ERR", "OR: bad block\n"}), UPD_ERR_BOX_ERROR);
    EXPECT_STREQ(boxErrorText, "ERROR: bad block");

    StreamReplyScan stop;
    EXPECT_EQ(scanAll(stop, {"S", "TOP"}), UPD_ERR_BOX_STOP);
    EXPECT_STREQ(boxErrorText, "STOP");

    // A doubled first letter is not taken as the start of the marker.
    StreamReplyScan doubled;
    EXPECT_EQ(scanAll(doubled, {"SSTOP"}), 0u);
    EXPECT_EQ(doubled.warnings, 0u);
    EXPECT_EQ(scanAll(doubled, {"EERROR:"}), 0u);
    EXPECT_EQ(doubled.warnings, 1u);  // its colon was a warning

    // The box's line from its marker: not the progress before it, not the
    // next line, at most 999 characters.
    const std::string longReply = std::string(1200, '.') + "ERROR:" + std::string(1200, 'x');
    StreamReplyScan longScan;
    EXPECT_EQ(scanStreamReply(longScan, longReply.c_str(), false), UPD_ERR_BOX_ERROR);
    EXPECT_EQ(std::strlen(boxErrorText), 999u);
    EXPECT_EQ(std::string(boxErrorText).substr(0, 7), "ERROR:x");
    StreamReplyScan split;
    EXPECT_EQ(scanAll(split, {"..ER", "ROR: crc\r\nnext"}), UPD_ERR_BOX_ERROR);
    EXPECT_STREQ(boxErrorText, "ERROR: crc");
}

TEST(StreamReplyScan, WarningsInARow) {
    StreamReplyScan resetByDot;
    EXPECT_EQ(scanAll(resetByDot, {":::::", ".", ";;;;;"}), 0u);
    StreamReplyScan notResetByLetters;
    EXPECT_EQ(scanAll(notResetByLetters, {"::: abc :::"}), UPD_ERR_FLASH_FAILED);
    StreamReplyScan resetByE;
    EXPECT_EQ(scanAll(resetByE, {":::::e:::::p:::::"}), 0u);
    for (const char* failure : {"?", "U", "..F."}) {
        StreamReplyScan scan;
        EXPECT_EQ(scanAll(scan, {failure}), UPD_ERR_FLASH_FAILED) << failure;
    }
}

TEST(StreamReplyScan, ProgrammingNoticeOnlyWhileTheBoxTakesNoData) {
    StreamReplyScan taking;
    taking.warnings = 3;
    EXPECT_EQ(scanStreamReply(taking, "e", false), 0u);
    EXPECT_FALSE(taking.programmingNotice);
    EXPECT_EQ(taking.warnings, 0u);
    StreamReplyScan refusing;
    EXPECT_EQ(scanStreamReply(refusing, "p", true), 0u);
    EXPECT_TRUE(refusing.programmingNotice);
}

TEST(StreamReplyScan, AZeroByteHidesNothingThatFollowsIt) {
    StreamReplyScan failure;
    EXPECT_EQ(scanStreamReply(failure, std::string_view(".\0?", 3), false), UPD_ERR_FLASH_FAILED);
    StreamReplyScan stop;
    EXPECT_EQ(scanStreamReply(stop, std::string_view("..\0\0STOP", 8), false), UPD_ERR_BOX_STOP);
    EXPECT_STREQ(boxErrorText, "STOP");
}

TEST(StreamReplyScan, FlashIdMessageGetsItsOwnStatusAndALoneFStillFails) {
    StreamReplyScan whole;
    EXPECT_EQ(scanAll(whole, {"Flash's manufacturer and/or ", "device ids dont match!\n"}), UPD_ERR_FLASH_ID_MISMATCH);

    StreamReplyScan lone;
    EXPECT_EQ(scanAll(lone, {"F"}), 0u);  // might be the message's first letter
    EXPECT_EQ(pendingScanStatus(lone), UPD_ERR_FLASH_FAILED);
    EXPECT_EQ(scanAll(lone, {"."}), UPD_ERR_FLASH_FAILED);

    StreamReplyScan brokenOff;
    EXPECT_EQ(scanAll(brokenOff, {"Flash's manu", "x"}), UPD_ERR_FLASH_FAILED);
    StreamReplyScan clean;
    EXPECT_EQ(scanAll(clean, {"...e.p."}), 0u);
    EXPECT_EQ(pendingScanStatus(clean), 0u);
}

class SendFileTest : public TransferLineTest {
protected:
    test_support::TempDirectory dir{"update-transfer-"};
};

// Transfers against a box: the packed image a box of 2.0 takes after "3".
class SendFileToBoxTest : public TransferLineTest {
protected:
    static boxmodel::Scenario box20(boxmodel::TransferFault fault = boxmodel::TransferFault::None,
                                    std::uint64_t atByte = 0) {
        boxmodel::Scenario scenario;
        scenario.version = "2.0";
        scenario.transferFault = fault;
        scenario.faultAtByte = atByte;
        return scenario;
    }
    std::string imageOf(std::size_t payloadBytes, std::uint32_t seed) {
        image = test_support::paddedImage(test_support::randomBytes(payloadBytes, seed));
        return dir.write("image", image);
    }
    test_support::TempDirectory dir{"update-transfer-"};
    Bytes image;
};

// With a one-byte transmit buffer each write returns once its bytes are on the line
// (10240 bytes: 889 ms at 115200 baud), and the reply is read after it.
TEST_F(SendFileTest, BoxLineIsGatheredAcrossReadsWithABoundedWait) {
    using Step = simline::ScriptedPeer::Step;
    const auto run = [&](std::vector<Step> steps) {
        simline::ScriptedPeer peer(std::move(steps));
        simline::LineOptions noBuffer;
        noBuffer.transmitBufferBytes = 1;
        simline::install(peer, noBuffer);
        port = platform::openPort(platform::defaultDeviceForComPort(1).c_str());
        platform::configureLine(port, 115200, false);
        platform::setWriteTimeouts(port, 1, 10);
        const std::string path = dir.write("image", test_support::randomBytes(20000, 4));
        EXPECT_EQ(sendFile(port, path.c_str(), 120000, kNoProgress, kUnpacked, kNoLeadingRecord), 0);
        EXPECT_EQ(platform::lastError(), UPD_ERR_BOX_ERROR);
        platform::closePort(port);
        simline::uninstall();
        port = platform::kInvalidPort;
        return std::string(boxErrorText);
    };
    // In three reads: after the first write, after the second (the marker
    // completes), and the rest of the line after the transfer has ended.
    EXPECT_EQ(run({{"", "..ER", 5}, {"", "ROR: simulated", 1200}, {"", " transfer failure\r\nrest", 1000}}),
              "ERROR: simulated transfer failure");
    // No line end: what came within the wait.
    EXPECT_EQ(run({{"", "..ERROR: cut", 5}, {"", " short", 1100}, {"", " too late\r\n", 3000}}), "ERROR: cut short");
}

TEST_F(SendFileTest, PlainFileGoesOutInBlocksWithProgress) {
    openLine();
    const Bytes data = test_support::randomBytes(25000, 3);
    const std::string path = dir.write("image", data);
    CaptureStdout();
    EXPECT_EQ(sendFile(port, path.c_str(), 120000, kShowProgress, kUnpacked, kNoLeadingRecord), 1);
    EXPECT_EQ(GetCapturedStdout(), progressLine(40) + progressLine(81) + progressLine(100));
    EXPECT_EQ(writeSizes(), (std::vector<std::size_t>{10240, 10240, 4520}));
    EXPECT_EQ(simline::bytesWritten(), data);
}

TEST_F(SendFileTest, EmptyFileSendsAndPrintsNothing) {
    openLine();
    const std::string path = dir.write("empty", {});
    CaptureStdout();
    EXPECT_EQ(sendFile(port, path.c_str(), 120000, kShowProgress, kPacked, kNoLeadingRecord), 1);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_TRUE(simline::bytesWritten().empty());
}

TEST_F(SendFileTest, PackedProgressCountsFileBytes) {
    openLine();
    // 50000 zero bytes pack to 12500 bytes: a block of 10240 holds 40960 of them.
    const Bytes zeros(50000, 0);
    const std::string path = dir.write("zeros", zeros);
    CaptureStdout();
    EXPECT_EQ(sendFile(port, path.c_str(), 120000, kShowProgress, kPacked, kNoLeadingRecord), 1);
    EXPECT_EQ(GetCapturedStdout(), progressLine(81) + progressLine(100));
    EXPECT_EQ(writeSizes(), (std::vector<std::size_t>{10240, 2260}));
    bool fillOk = false;
    EXPECT_EQ(sim::unpackStream(simline::bytesWritten(), fillOk), zeros);
    EXPECT_TRUE(fillOk);
}

TEST_F(SendFileTest, LeadingRecordIsSentAloneAndFollowedByAPause) {
    openLine();
    Bytes data = {0x11, 0x20};
    const Bytes record = test_support::randomBytes(32, 5);
    data.insert(data.end(), record.begin(), record.end());
    const Bytes rest = test_support::randomBytes(15000, 6);
    data.insert(data.end(), rest.begin(), rest.end());
    const std::string path = dir.write("dated", data);

    // Packing is ignored in this mode.
    EXPECT_EQ(sendFile(port, path.c_str(), 120000, kNoProgress, kPacked, kLeadingRecord), 1);
    EXPECT_EQ(writeSizes(), (std::vector<std::size_t>{2, 32, 10240, 4760}));
    EXPECT_EQ(simline::bytesWritten(), data);
    std::vector<simline::LineEvent::Kind> kinds;
    for (const auto& event : simline::events())
        if (event.kind == simline::LineEvent::Kind::Write || event.kind == simline::LineEvent::Kind::Sleep)
            kinds.push_back(event.kind);
    using K = simline::LineEvent::Kind;
    EXPECT_EQ(kinds, (std::vector<K>{K::Write, K::Write, K::Sleep, K::Write, K::Write}));
    for (const auto& event : simline::events())
        if (event.kind == K::Sleep) {
            EXPECT_EQ(event.value, 1000u);
        }
}

TEST_F(SendFileTest, WithoutTheRecordTagOnlyThePairIsShort) {
    openLine();
    const Bytes data = test_support::randomBytes(12000, 8);
    ASSERT_NE(data[0], 0x11);
    const std::string path = dir.write("plain", data);
    EXPECT_EQ(sendFile(port, path.c_str(), 120000, kNoProgress, kUnpacked, kLeadingRecord), 1);
    EXPECT_EQ(writeSizes(), (std::vector<std::size_t>{2, 10240, 1758}));
    for (const auto& event : simline::events()) EXPECT_NE(event.kind, simline::LineEvent::Kind::Sleep);
}

TEST_F(SendFileTest, EmptyLeadingRecordDoesNotCutTheImageShort) {
    openLine();
    Bytes data = {0x11, 0x00};
    const Bytes rest = test_support::randomBytes(3000, 9);
    data.insert(data.end(), rest.begin(), rest.end());
    const std::string path = dir.write("empty-record", data);
    EXPECT_EQ(sendFile(port, path.c_str(), 120000, kNoProgress, kUnpacked, kLeadingRecord), 1);
    EXPECT_EQ(simline::bytesWritten(), data);
    EXPECT_EQ(writeSizes(), (std::vector<std::size_t>{2, 3000}));
}

TEST_F(SendFileToBoxTest, BoxErrorEndsTheTransferAndKeepsItsText) {
    boxmodel::Scenario scenario = box20(boxmodel::TransferFault::Error, 12000);
    scenario.faultText = "checksum";
    openAtFilePrompt(scenario, '3');
    const std::string path = imageOf(40000, 10);
    EXPECT_EQ(sendFile(port, path.c_str(), 120000, kNoProgress, kPacked, kNoLeadingRecord), 0);
    EXPECT_EQ(platform::lastError(), UPD_ERR_BOX_ERROR);
    EXPECT_STREQ(boxErrorText, "ERROR: checksum");
    EXPECT_LT(simline::bytesWritten().size(), 40000u);
}

TEST_F(SendFileToBoxTest, SilentStalledBoxTimesOut) {
    boxmodel::Scenario scenario = box20(boxmodel::TransferFault::StopReading, 5000);
    openAtFilePrompt(scenario, '3');
    const std::string path = imageOf(30000, 11);
    const std::uint32_t start = platform::millis();
    EXPECT_EQ(sendFile(port, path.c_str(), 2000, kNoProgress, kPacked, kNoLeadingRecord), 0);
    EXPECT_EQ(platform::lastError(), UPD_ERR_TIMEOUT);
    EXPECT_EQ(box->outcome().kind, boxmodel::Outcome::Kind::Stalled);
    const std::uint32_t elapsed = platform::millis() - start;
    EXPECT_GT(elapsed, 2000u);
    EXPECT_LT(elapsed, 2000u + 2 * 10250u);  // at most one more write time-out after the limit
}

TEST_F(SendFileToBoxTest, ChatterWhileStalledIsProgressAndShowsTheProgrammingNotice) {
    // The sector stops the box for 20 s, longer than the limit and than a
    // write's own time-out (10 ms and 1 ms a byte), so that one write takes
    // nothing; the "p" at 12 s, which that write's read finds, keeps the
    // transfer alive.
    boxmodel::Scenario scenario = box20();
    scenario.sectorBytes = 20000;
    scenario.eraseMs = 12000;
    scenario.writeMs = 8000;
    openAtFilePrompt(scenario, '3');
    const std::string path = imageOf(30000, 12);
    const std::uint32_t start = platform::millis();
    CaptureStdout();
    const int result = sendFile(port, path.c_str(), 2000, kShowProgress, kPacked, kNoLeadingRecord);
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(result, 1) << platform::lastError();
    EXPECT_NE(out.find(" stopped for programming" + std::string(24, '\b')), std::string::npos);
    EXPECT_GT(platform::millis() - start, 20000u);
    platform::sleepMs(5000);  // the rest of the image and the programming
    EXPECT_EQ(box->outcome().kind, boxmodel::Outcome::Kind::Flashed) << box->outcome().detail;
    EXPECT_EQ(box->flashedImage(), image);
}

TEST_F(SendFileTest, MissingFileLeavesTheSystemsError) {
    openLine();
    EXPECT_EQ(sendFile(port, dir.file("missing").c_str(), 120000, kNoProgress, kUnpacked, kNoLeadingRecord), 0);
    EXPECT_EQ(platform::lastError(), static_cast<std::uint32_t>(ENOENT));
}

TEST_F(SendFileToBoxTest, HangUpLeavesItsStatus) {
    boxmodel::Scenario scenario = box20();
    scenario.hangUpAt = boxmodel::Step::File;
    scenario.hangUpAfterMs = 50;
    openAtFilePrompt(scenario, '3');
    const std::string path = imageOf(40000, 13);
    EXPECT_EQ(sendFile(port, path.c_str(), 120000, kNoProgress, kPacked, kNoLeadingRecord), 0);
    EXPECT_EQ(platform::lastError(), platform::kErrorOperationAborted);
}

TEST_F(SendFileToBoxTest, FailedPackedTransferLeavesNoBitsForTheNext) {
    boxmodel::Scenario scenario = box20(boxmodel::TransferFault::Question, 10);
    openAtFilePrompt(scenario, '3');
    const std::string first = imageOf(30000, 14);
    EXPECT_EQ(sendFile(port, first.c_str(), 120000, kNoProgress, kPacked, kNoLeadingRecord), 0);
    EXPECT_EQ(platform::lastError(), UPD_ERR_FLASH_FAILED);

    const std::size_t before = simline::bytesWritten().size();
    const Bytes second = {'a', 'b', 'c'};
    const std::string path = dir.write("second", second);
    EXPECT_EQ(sendFile(port, path.c_str(), 120000, kNoProgress, kPacked, kNoLeadingRecord), 1);
    const Bytes all = simline::bytesWritten();
    EXPECT_EQ(Bytes(all.begin() + static_cast<long>(before), all.end()), (Bytes{0xB7, 0xE4, 0xF2, 0x1F}));
}

struct ReportCase {
    std::uint32_t status;
    TransferReportForm form;
    const char* expectedErr;
};

TEST(ReportFailedTransfer, EveryStatusInEveryForm) {
    std::strcpy(boxErrorText, "ERROR: flash busy");
    using F = TransferReportForm;
    const ReportCase cases[] = {
        {UPD_ERR_TIMEOUT, F::Download, "Fatal error, settop box does not respond. Abort!\n\n"},
        {UPD_ERR_TIMEOUT, F::Error, "Fatal error, settop box does not responding. Abort!\n\n"},
        {UPD_ERR_TIMEOUT, F::Fehler, "Fatal error, settop box does not responding. Abort!\n\n"},
        {UPD_ERR_TIMEOUT, F::Dated, "Fatal error, settop box does not responding. Abort!\n\n"},
        {UPD_ERR_FLASH_FAILED, F::Download, "Error(s) during erasing, programming or transfering. Abort!\n\n"},
        {UPD_ERR_FLASH_FAILED, F::Dated, "Error(s) during erasing, programming or transfering. Abort!\n\n"},
        {UPD_ERR_FLASH_ID_MISMATCH, F::Error, "Flash's manufacturer and/or device ids dont match!\n\n"},
        {UPD_ERR_FLASH_ID_MISMATCH, F::Fehler, "Flash's manufacturer and/or device ids dont match!\n\n"},
        {UPD_ERR_BOX_ERROR, F::Download, "ERROR:\n\n"},
        {UPD_ERR_BOX_ERROR, F::Error, "ERROR:\n\n"},
        {UPD_ERR_BOX_ERROR, F::Fehler, "Fehler: ERROR: flash busy\n\n"},
        {UPD_ERR_BOX_ERROR, F::Dated, "ERROR: flash busy\n\n"},
        {UPD_ERR_BOX_STOP, F::Download, "Fatal error 536870920. Abort!\n\n"},
        {UPD_ERR_BOX_STOP, F::Error, "Fatal error 536870920. Abort!\n\n"},
        {UPD_ERR_BOX_STOP, F::Fehler, "Fatal error 536870920. Abort!\n\n"},
        {UPD_ERR_CODE_TABLE, F::Dated, "Fatal error 536870918. Abort!\n\n"},
        {2, F::Fehler, "Fatal error 2. Abort!\n\n"},
    };
    for (const ReportCase& c : cases) {
        CaptureStdout();
        CaptureStderr();
        EXPECT_FALSE(reportFailedTransfer(c.status, c.form));
        EXPECT_EQ(GetCapturedStderr(), c.expectedErr) << c.status;
        EXPECT_EQ(GetCapturedStdout(), "");
    }
    CaptureStdout();
    CaptureStderr();
    EXPECT_TRUE(reportFailedTransfer(UPD_ERR_BOX_STOP, F::Dated));
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(GetCapturedStdout(), " Done!                    \n");
}

}  // namespace
