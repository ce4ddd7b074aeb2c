// The procedure of boot loaders 4.11 to 4.13 and its records.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "box_peer.h"
#include "platform/serial_ports.h"
#include "image/padded_image.h"
#include "procedures/dated_records.h"
#include "procedures/procedures.h"
#include "transfer/temp_file.h"

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
    int run(std::uint32_t imageLength) {
        return capture([&] {
            return updateDated(port, path.c_str(), imageLength, 0x0004000C, 0, true, true, 115200, true);
        });
    }
    TempDir dir;
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
    // The file is 12000 bytes; the sum covers only the image length value.
    EXPECT_EQ(run(11000), 0);
    EXPECT_EQ(box.keys, Bytes{'2'});
    ASSERT_EQ(box.data.size(), 5u + 9u + image.size() + 4u);
    EXPECT_EQ(Bytes(box.data.begin(), box.data.begin() + 4), (Bytes{0xCC, 0xD8, 0x14, 0x35}));
    EXPECT_LE(box.data[4], 0x09);  // seconds: the clock has moved on a little since 14:35:00
    EXPECT_EQ(Bytes(box.data.begin() + 5, box.data.begin() + 14),
              (Bytes{0x00, 0x00, 0x2A, 0xF8, 0x07, 0x00, 0x04, 0x00, 0x0C}));
    EXPECT_EQ(Bytes(box.data.begin() + 14, box.data.end() - 4), image);
    const std::uint32_t expectedSum = 0x11 + 0x10 + 255u * (11000 - 2);
    EXPECT_EQ(readBigEndian32(box.data.data() + box.data.size() - 4), expectedSum);

    EXPECT_TRUE(startsWith(out, "Download file...")) << out;
    EXPECT_TRUE(endsWith(out, kSuccessTail)) << out;
    EXPECT_EQ(err, "");
    EXPECT_EQ(sleeps(), (std::vector<std::uint32_t>{300, 500, 500, 1000}));
    EXPECT_TRUE(simline::portOpen());
}

TEST_F(DatedTest, StopFromTheBoxIsSuccess) {
    box.replyAfterData = 14 + 2 + 16 + 100;
    box.reply = "STOP";
    EXPECT_EQ(run(11000), 0);
    EXPECT_TRUE(endsWith(out, " Done!                    \n"));
    EXPECT_EQ(out.find("Programming"), std::string::npos);
    EXPECT_EQ(err, "");
    EXPECT_LT(box.data.size(), 14 + image.size());
    EXPECT_TRUE(simline::portOpen());
}

TEST_F(DatedTest, BoxErrorShowsOnlyTheBoxsText) {
    box.replyAfterData = 200;
    box.reply = "ERROR: date\n";
    EXPECT_EQ(run(11000), 1);
    EXPECT_EQ(err, "ERROR: date\n\n\n");
    EXPECT_FALSE(simline::portOpen());
}

TEST_F(DatedTest, FileShorterThanTheImageLengthFailsQuietly) {
    EXPECT_EQ(run(static_cast<std::uint32_t>(image.size()) + 1), 1);
    EXPECT_EQ(err, "");
    EXPECT_EQ(out.find("Programming"), std::string::npos);
    EXPECT_EQ(simline::bytesWritten().size(), 1 + 14 + image.size());  // key, records, image; no sum
    EXPECT_FALSE(simline::portOpen());
}

// A box that stops taking data part way through the image: the PC's writes
// stall, and after 120 s without progress the transfer gives up.
class StallingBox : public MenuBox {
public:
    std::size_t stallAfterData = 5000;
    bool acceptsInput(std::uint64_t) const override { return data.size() < stallAfterData; }
};

class DatedStallTest : public DatedTest {
protected:
    void SetUp() override {
        simline::install(stalling);
        port = platform::openPort(platform::defaultDeviceForComPort(1).c_str());
        ASSERT_NE(port, platform::kInvalidPort);
        ASSERT_TRUE(platform::configureLine(port, 115200, false));
        ASSERT_TRUE(platform::setWriteTimeouts(port, 1, 10));
    }
    StallingBox stalling;
};

TEST_F(DatedStallTest, BoxThatStopsReadingTimesOutAfterTwoMinutes) {
    EXPECT_EQ(run(11000), 1);
    EXPECT_EQ(err, "Fatal error, settop box does not responding. Abort!\n\n");
    EXPECT_EQ(out.find("Programming"), std::string::npos);
    EXPECT_EQ(out.find("Done!"), std::string::npos);
    EXPECT_FALSE(simline::portOpen());
    // Menu, pauses and the first 5000 bytes take seconds; the limit is 120 s
    // without progress, and one more stalled write may run past it.
    EXPECT_GT(simline::nowUs(), 120'000'000u);
    EXPECT_LT(simline::nowUs(), 140'000'000u);
}

}  // namespace
