// The procedure of boot loaders 4.11 to 4.13 and its records.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/serial_ports.h"
#include "image/padded_image.h"
#include "procedures/dated_records.h"
#include "procedure_box.h"
#include "procedures/procedures.h"
#include "support/image_bytes.h"
#include "support/temp_directory.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(BoxTimeStamp, ModifiedJulianDateAndBcd) {
    EXPECT_EQ(makeBoxTimeStamp({1993, 10, 13, 12, 45, 0}), (BoxTimeStamp{0xC0, 0x79, 0x12, 0x45, 0x00}));
    EXPECT_EQ(makeBoxTimeStamp({2002, 6, 15, 14, 35, 9}), (BoxTimeStamp{0xCC, 0xD8, 0x14, 0x35, 0x09}));
    EXPECT_EQ(makeBoxTimeStamp({2026, 1, 2, 23, 59, 58}), (BoxTimeStamp{0xEE, 0x72, 0x23, 0x59, 0x58}));
    EXPECT_EQ(modifiedJulianDate(2002, 2, 28), 52333);
    EXPECT_EQ(modifiedJulianDate(2002, 3, 1), 52334);
    EXPECT_EQ(modifiedJulianDate(2000, 1, 1), 51544);
    EXPECT_EQ(modifiedJulianDate(2000, 2, 29) + 1, modifiedJulianDate(2000, 3, 1));
    EXPECT_EQ(modifiedJulianDate(2001, 12, 31) + 1, modifiedJulianDate(2002, 1, 1));
    EXPECT_EQ(modifiedJulianDate(2038, 4, 22), 65535);
    EXPECT_EQ(modifiedJulianDate(2038, 4, 23), 0);
    EXPECT_EQ(modifiedJulianDate(2038, 4, 24), 1);
}

TEST(ImageAnnouncement, LengthTypeSevenAndId) {
    EXPECT_EQ(makeImageAnnouncement(0x00012345, 0x0004000C),
              (ImageAnnouncement{0x00, 0x01, 0x23, 0x45, 0x07, 0x00, 0x04, 0x00, 0x0C}));
}

class DatedTest : public ProcedureTest {
protected:
    void SetUp() override { connect(dated()); }

    static boxmodel::Scenario dated() {
        boxmodel::Scenario scenario = boxOf("4.12");
        scenario.imageId = 0x0004000C;
        return scenario;
    }
    // The box checks the time stamp against the simulated PC's clock.
    void connect(boxmodel::Scenario scenario) {
        ProcedureTest::connect(std::move(scenario), [] { return platform::localTime(); });
    }

    int run(std::uint32_t imageLength) {
        return capture([&] {
            return updateDated(port, path.c_str(), imageLength, 0x0004000C, 0, true, true, 115200, true);
        });
    }
    std::uint32_t fileLength() const { return static_cast<std::uint32_t>(image.size()); }

    test_support::TempDirectory dir{"update-procedures-"};
    // An image that opens with a leading record (tag, length, 16 bytes).
    Bytes image = [] {
        Bytes bytes(12000, 0xFF);
        bytes[0] = 0x11;
        bytes[1] = 0x10;
        return bytes;
    }();
    std::string path = dir.write("image", image);
};

TEST_F(DatedTest, StampAnnouncementImageAndSum) {
    simline::setLocalTime({2002, 6, 15, 14, 35, 0});
    EXPECT_EQ(run(fileLength()), 0) << err;
    EXPECT_EQ(keySent(), '2');
    EXPECT_EQ(outcome(), boxmodel::Outcome::Kind::Flashed) << box->outcome().detail;
    EXPECT_EQ(box->flashedImage(), image);
    ASSERT_EQ(download().size(), 5u + 9u + image.size() + 4u);
    EXPECT_EQ(Bytes(download().begin(), download().begin() + 4), (Bytes{0xCC, 0xD8, 0x14, 0x35}));
    EXPECT_LE(download()[4], 0x09);  // seconds: the clock has moved on a little since 14:35:00
    EXPECT_EQ(Bytes(download().begin() + 5, download().begin() + 14),
              (Bytes{0x00, 0x00, 0x2E, 0xE0, 0x07, 0x00, 0x04, 0x00, 0x0C}));
    EXPECT_EQ(Bytes(download().begin() + 14, download().end() - 4), image);
    const std::uint32_t expectedSum = 0x11 + 0x10 + 255u * (12000 - 2);
    EXPECT_EQ(readBigEndian32(download().data() + download().size() - 4), expectedSum);

    EXPECT_TRUE(startsWith(out, "Download file...")) << out;
    EXPECT_TRUE(endsWith(out, kSuccessTail)) << out;
    EXPECT_EQ(err, "");
    EXPECT_EQ(sleeps(), (std::vector<std::uint32_t>{300, 500, 500, 1000}));
    EXPECT_TRUE(simline::portOpen());
}

TEST_F(DatedTest, TheSumCoversOnlyTheImageLengthOfAPaddedImage) {
    // The image length value leaves the header extension out: the file is
    // five bytes longer than what the sum covers.
    Bytes payload(10992, 0xFF);
    payload[0] = 0x5A;
    image = test_support::paddedImage(payload, test_support::typeAndId(7, 0x0004000C));
    path = dir.write("padded", image);
    const std::uint32_t imageLength = static_cast<std::uint32_t>(payload.size() + 8);
    EXPECT_EQ(run(imageLength), 0) << err;
    EXPECT_EQ(outcome(), boxmodel::Outcome::Kind::Flashed) << box->outcome().detail;
    ASSERT_EQ(download().size(), 5u + 9u + image.size() + 4u);
    std::uint32_t expectedSum = 0;
    for (std::uint32_t i = 0; i < imageLength; ++i) expectedSum += image[i];
    EXPECT_EQ(readBigEndian32(download().data() + download().size() - 4), expectedSum);
}

TEST_F(DatedTest, StopFromTheBoxIsSuccess) {
    boxmodel::Scenario scenario = withFault(dated(), boxmodel::TransferFault::Stop, 14 + 2 + 16 + 100);
    connect(scenario);
    EXPECT_EQ(run(fileLength()), 0);
    EXPECT_TRUE(endsWith(out, " Done!                    \n"));
    EXPECT_EQ(out.find("Programming"), std::string::npos);
    EXPECT_EQ(err, "");
    EXPECT_EQ(outcome(), boxmodel::Outcome::Kind::Stopped);
    EXPECT_LT(simline::bytesWritten().size(), 1 + 14 + image.size());
    EXPECT_TRUE(simline::portOpen());
}

TEST_F(DatedTest, BoxErrorShowsOnlyTheBoxsText) {
    boxmodel::Scenario scenario = withFault(dated(), boxmodel::TransferFault::Error, 200, "date");
    connect(scenario);
    EXPECT_EQ(run(fileLength()), 1);
    EXPECT_EQ(err, "ERROR: date\n\n");
    EXPECT_FALSE(simline::portOpen());
}

TEST_F(DatedTest, FileShorterThanTheImageLengthFailsQuietly) {
    EXPECT_EQ(run(fileLength() + 1), 1);
    EXPECT_EQ(err, "");
    EXPECT_EQ(out.find("Programming"), std::string::npos);
    EXPECT_EQ(simline::bytesWritten().size(), 1 + 14 + image.size());  // key, records, image; no sum
    EXPECT_FALSE(simline::portOpen());
}

// A box that stops taking data part way through the image: the PC's writes
// stall, and after 120 s without progress the transfer gives up.
TEST_F(DatedTest, BoxThatStopsReadingTimesOutAfterTwoMinutes) {
    boxmodel::Scenario scenario = withFault(dated(), boxmodel::TransferFault::StopReading, 14 + 5000);
    connect(scenario);
    EXPECT_EQ(run(fileLength()), 1);
    EXPECT_EQ(err, "Fatal error, settop box does not responding. Abort!\n\n");
    EXPECT_EQ(out.find("Programming"), std::string::npos);
    EXPECT_EQ(out.find("Done!"), std::string::npos);
    EXPECT_EQ(outcome(), boxmodel::Outcome::Kind::Stalled);
    EXPECT_FALSE(simline::portOpen());
    // Menu, pauses and the first 5000 bytes take seconds; the limit is 120 s
    // without progress, and one more stalled write may run past it.
    EXPECT_GT(simline::nowUs(), 120'000'000u);
    EXPECT_LT(simline::nowUs(), 140'000'000u);
}

}  // namespace
