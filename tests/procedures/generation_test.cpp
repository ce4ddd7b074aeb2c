// The generation 2 and generation 4 procedures over the simulated line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "box_peer.h"
#include "image/padded_image.h"
#include "packed_decoder.h"
#include "procedures/procedures.h"
#include "common/status.h"
#include "support/bunzip2.h"
#include "transfer/temp_file.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes textImage(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>("image of the box "[i % 17]);
    return bytes;
}

class GenerationTest : public ProcedureTest {
protected:
    // The frame's header extension, and its payload unpacked by the library's decoder.
    Bytes frameHeader(std::size_t extension) const {
        if (box.data.size() < 8 + extension) return {};
        return Bytes(box.data.begin() + 4, box.data.begin() + 4 + static_cast<long>(extension));
    }
    Bytes bunzip2Frame(std::size_t extension) {
        if (box.data.size() < 8 + extension) return {};
        EXPECT_EQ(readBigEndian32(box.data.data()) + 8 + extension, box.data.size());
        const Bytes payload(box.data.begin() + 4 + static_cast<long>(extension), box.data.end() - 4);
        return test_support::bunzip2(payload);
    }

    TempDir dir;
    const Bytes image = textImage(30000);
    const std::string path = dir.write("image.pad", image);
};

TEST_F(GenerationTest, Generation4CompressesOnTheFlyWithItsImageType) {
    struct Entry {
        decltype(&updateGeneration4Type4) procedure;
        std::uint8_t type;
    };
    for (const Entry entry : {Entry{updateGeneration4Type4, 4}, Entry{updateGeneration4Type5, 5},
                              Entry{updateGeneration4Type6, 6}}) {
        TearDown();
        box = MenuBox{};
        SetUp();
        EXPECT_EQ(capture([&] { return entry.procedure(port, path.c_str(), 30000, 0x00040007, 0, false, false, 115200, false); }),
                  0);
        EXPECT_EQ(box.keys, Bytes{'7'});
        EXPECT_EQ(frameHeader(5), (Bytes{entry.type, 0x00, 0x04, 0x00, 0x07}));
        EXPECT_EQ(bunzip2Frame(5), image);
        EXPECT_TRUE(startsWith(out, "Download file...")) << out;
        EXPECT_TRUE(endsWith(out, kSuccessTail)) << out;
        EXPECT_EQ(err, "Compressing file\n");
        EXPECT_EQ(sleeps(), (std::vector<std::uint32_t>{300, 500, 500}));
        EXPECT_TRUE(simline::portOpen());
    }
}

TEST_F(GenerationTest, Generation4SendsAPrecompressedFileAsItIs) {
    EXPECT_EQ(capture([&] { return updateGeneration4Type4(port, path.c_str(), 30000, 0, 0, true, false, 115200, false); }), 0);
    EXPECT_EQ(box.keys, Bytes{'7'});
    EXPECT_EQ(box.data, image);
    EXPECT_EQ(err, "");
}

TEST_F(GenerationTest, Generation4WithCompressionAndHeaderRewrite) {
    EXPECT_EQ(capture([&] { return updateGeneration4Type5(port, path.c_str(), 30000, 0x0004000E, 0, true, true, 115200, true); }),
              0);
    Bytes expected = image;
    expected[4] = 5;
    writeBigEndian32(expected.data() + 5, 0x0004000E);
    EXPECT_EQ(bunzip2Frame(5), expected);
}

TEST_F(GenerationTest, PayloadLimit) {
    EXPECT_EQ(capture([&] { return updateGeneration4Type4(port, path.c_str(), UPD_MAX_PAYLOAD + 8, 0, 0, true, false, 115200, false); }),
              0);
    EXPECT_EQ(box.keys, Bytes{'7'});
    EXPECT_EQ(box.data, image);

    for (const auto& [length, shown] : {std::pair<std::uint32_t, const char*>{UPD_MAX_PAYLOAD + 9, "1900545"},
                                        std::pair<std::uint32_t, const char*>{5, "4294967293"}}) {
        const std::uint32_t imageLength = length;  // clang before 16 cannot capture a structured binding
        for (auto procedure : {updateGeneration4Type6, updateGeneration2}) {
            TearDown();
            box = MenuBox{};
            SetUp();
            EXPECT_EQ(capture([&] { return procedure(port, path.c_str(), imageLength, 0, 0, false, false, 115200, false); }), 1);
            EXPECT_EQ(err, std::string("\n\nThe image size of ") + shown +
                               " bytes exceeds the limit of 1900544 bytes\nsupported by bootloader version 1.7!\n"
                               "Try to restart the application and abort.\n\n");
            EXPECT_EQ(simline::bytesWritten(), Bytes{'1'});
            EXPECT_FALSE(simline::portOpen());
        }
    }
}

TEST_F(GenerationTest, Generation4ReportsTheBoxsTextAndItsStop) {
    box.replyAfterData = 500;
    box.reply = "ERROR: wrong image\r\n";
    EXPECT_EQ(capture([&] { return updateGeneration4Type4(port, path.c_str(), 30000, 0, 0, true, false, 115200, false); }), 1);
    EXPECT_EQ(err, "Fehler: ERROR: wrong image\r\n\n\n");
    EXPECT_FALSE(simline::portOpen());

    TearDown();
    box = MenuBox{};
    box.replyAfterData = 500;
    box.reply = "STOP";
    SetUp();
    EXPECT_EQ(capture([&] { return updateGeneration4Type4(port, path.c_str(), 30000, 0, 0, true, false, 115200, false); }), 1);
    EXPECT_EQ(err, "Fatal error 536870920. Abort!\n\n");
}

TEST_F(GenerationTest, AFailureTheBoxReportsAfterTheLastByteEndsTheWaitForFinished) {
    // The box takes the whole file, then reports in place of "finished!". A
    // lone "F" might begin the flash-id message, so it counts once the box
    // has stayed quiet for a second.
    struct Case {
        const char* afterData;
        bool generation4;
        bool compressedImage;
        bool compressImage;
        std::string err;
    };
    const std::string fatalStop = "Fatal error " + std::to_string(UPD_ERR_BOX_STOP) + ". Abort!\n\n";
    const std::string flashFailed = "Error(s) during erasing, programming or transfering. Abort!\n\n";
    for (const Case& c : {Case{"..STOP", true, false, false, "Compressing file\n" + fatalStop},
                          Case{"..F", true, false, false, "Compressing file\n" + flashFailed},
                          Case{"\0STOP", true, true, false, fatalStop},
                          Case{".F", false, false, false, flashFailed},
                          Case{"STOP", false, true, true, "Compressing file\n" + fatalStop}}) {
        SCOPED_TRACE(c.afterData);
        TearDown();
        box = MenuBox{};
        box.afterData = std::string(c.afterData, std::strlen(c.afterData) + (c.afterData[0] == '\0' ? 5 : 0));
        SetUp();
        const auto procedure = c.generation4 ? updateGeneration4Type4 : updateGeneration2;
        EXPECT_EQ(capture([&] { return procedure(port, path.c_str(), 30000, 0, 0, c.compressedImage, c.compressImage, 115200, false); }), 1);
        EXPECT_EQ(err, c.err);
        EXPECT_TRUE(endsWith(out, " Done!\nProgramming the flash memory...")) << out;
        EXPECT_FALSE(simline::portOpen());
    }
    // After its first line end the box writes text: its letters are no reports.
    TearDown();
    box = MenuBox{};
    box.afterData = "..\r\nFlash programmed? Update finished!\r\n";
    SetUp();
    EXPECT_EQ(capture([&] { return updateGeneration2(port, path.c_str(), 30000, 0, 0, false, false, 115200, false); }), 0);
    EXPECT_TRUE(endsWith(out, kSuccessTail)) << out << err;
}

TEST_F(GenerationTest, MenuErrorsAndLineFailures) {
    TearDown();  // the box shows its menu as soon as the line is up
    box = MenuBox{};
    box.menu = "ERRORgaga: no flash\n";
    SetUp();
    EXPECT_EQ(capture([&] { return updateGeneration4Type4(port, path.c_str(), 30000, 0, 0, false, false, 115200, false); }), 1);
    EXPECT_EQ(err, "waitFor error: 536870919\n");
    EXPECT_FALSE(simline::portOpen());

    TearDown();
    box = MenuBox{};
    SetUp();
    simline::faults().getStateFails = true;
    EXPECT_EQ(capture([&] { return updateGeneration2(port, path.c_str(), 30000, 0, 0, false, false, 115200, false); }), 1);
    EXPECT_EQ(err, "");
    EXPECT_FALSE(simline::portOpen());

    TearDown();
    box = MenuBox{};
    box.hangUpAtUs = 100'000;  // the cable is pulled after the menu
    SetUp();
    EXPECT_EQ(capture([&] { return updateGeneration2(port, path.c_str(), 30000, 0, 0, false, false, 115200, false); }), 1);
    EXPECT_EQ(err, "WriteFile error: " + std::to_string(platform::kErrorOperationAborted) + "\n");
    EXPECT_FALSE(simline::portOpen());
}

TEST_F(GenerationTest, Generation2PacksWithoutOptions) {
    EXPECT_EQ(capture([&] { return updateGeneration2(port, path.c_str(), 30000, 0x00040001, 0, false, false, 115200, false); }), 0);
    EXPECT_EQ(box.keys, Bytes{'3'});
    bool fillOk = false;
    EXPECT_EQ(sim::unpackStream(box.data, fillOk), image);
    EXPECT_TRUE(fillOk);
    EXPECT_TRUE(startsWith(out, "Download file...")) << out;
    EXPECT_TRUE(endsWith(out, kSuccessTail)) << out;
    EXPECT_EQ(err, "");
    EXPECT_EQ(sleeps(), (std::vector<std::uint32_t>{300, 500, 500}));
}

TEST_F(GenerationTest, Generation2SendsAPrecompressedFileAsItIs) {
    EXPECT_EQ(capture([&] { return updateGeneration2(port, path.c_str(), 30000, 0, 0, true, false, 115200, false); }), 0);
    EXPECT_EQ(box.keys, Bytes{'7'});
    EXPECT_EQ(box.data, image);
}

TEST_F(GenerationTest, Generation2CompressesAsType2WithoutId) {
    EXPECT_EQ(capture([&] { return updateGeneration2(port, path.c_str(), 30000, 0x00040001, 0, true, true, 115200, false); }), 0);
    EXPECT_EQ(box.keys, Bytes{'7'});
    EXPECT_EQ(frameHeader(1), Bytes{2});
    EXPECT_EQ(bunzip2Frame(1), image);
}

TEST_F(GenerationTest, Generation2HidesTheBoxsText) {
    box.replyAfterData = 100;
    box.reply = "ERROR: wrong image\n";
    EXPECT_EQ(capture([&] { return updateGeneration2(port, path.c_str(), 30000, 0, 0, false, false, 115200, false); }), 1);
    EXPECT_EQ(err, "ERROR:\n\n");
    EXPECT_FALSE(simline::portOpen());
}

}  // namespace
