// The generation 2 and generation 4 procedures over the simulated line,
// against the box model.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/status.h"
#include "packed_decoder.h"
#include "procedure_box.h"
#include "procedures/procedures.h"
#include "support/image_bytes.h"
#include "support/temp_directory.h"

namespace {

using test_support::Bytes;
using test_support::bzip2;
using test_support::paddedImage;
using test_support::typeAndId;
using Procedure = decltype(&updateGeneration2);

constexpr std::uint32_t kPayloadBytes = 30000;

// Bytes that compress little, so that a compressed frame is long too.
Bytes noisyPayload() {
    Bytes bytes(kPayloadBytes);
    std::uint32_t state = 7;
    for (std::uint8_t& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(state >> 23);
    }
    return bytes;
}

std::uint32_t idOf(const char* version) {
    const boxmodel::BootloaderTraits traits = boxmodel::traitsOf(version);
    return static_cast<std::uint32_t>(traits.major) << 16 | static_cast<std::uint32_t>(traits.minor);
}

class GenerationTest : public ProcedureTest {
protected:
    // The image a box of this version takes, as a file: stored, or
    // compressed beforehand into a frame of the given type.
    std::string imageFor(const char* version, std::uint8_t type) {
        image = paddedImage(noisyPayload(), typeAndId(type, idOf(version)));
        return dir.write("image.pad", image);
    }
    std::string frameFor(const char* version, std::uint8_t type, const Bytes& frameExtension) {
        image = paddedImage(noisyPayload(), typeAndId(type, idOf(version)));
        file = paddedImage(bzip2(image), frameExtension);
        return dir.write("frame.pad", file);
    }

    int update(Procedure procedure, const std::string& path, std::uint32_t imageId, bool compressedImage,
               bool compressImage, bool overrideHeader = false, std::uint32_t imageLength = 0) {
        if (imageLength == 0) imageLength = static_cast<std::uint32_t>(image.size());
        return capture([&] {
            return procedure(port, path.c_str(), imageLength, imageId, 0, compressedImage, compressImage, 115200,
                             overrideHeader);
        });
    }

    // The frame the box took: its header extension, and its payload as the
    // bzip2 library unpacks it.
    Bytes frameHeader(std::size_t extension) const {
        if (download().size() < 8 + extension) return {};
        return Bytes(download().begin() + 4, download().begin() + 4 + static_cast<long>(extension));
    }
    Bytes bunzip2Frame(std::size_t extension) const {
        if (download().size() < 8 + extension) return {};
        const Bytes payload(download().begin() + 4 + static_cast<long>(extension), download().end() - 4);
        return test_support::bunzip2(payload);
    }

    // How many bytes the PC sends after the key for this download, from a
    // clean run: the place of its last byte.
    std::size_t lineBytesOf(boxmodel::Scenario scenario, Procedure procedure, const std::string& path,
                            std::uint32_t imageId, bool compressedImage, bool compressImage) {
        connect(scenario);
        EXPECT_EQ(update(procedure, path, imageId, compressedImage, compressImage), 0) << err;
        const std::size_t bytes = download().size();
        disconnect();
        return bytes;
    }

    test_support::TempDirectory dir{"update-procedures-"};
    Bytes image;
    Bytes file;
};

TEST_F(GenerationTest, Generation4CompressesOnTheFlyWithItsImageType) {
    struct Entry {
        Procedure procedure;
        const char* version;
        std::uint8_t type;
    };
    for (const Entry entry : {Entry{updateGeneration4Type4, "4.2", 4}, Entry{updateGeneration4Type5, "4.6", 5},
                              Entry{updateGeneration4Type6, "4.99", 6}}) {
        SCOPED_TRACE(entry.version);
        const std::string path = imageFor(entry.version, entry.type);
        connect(boxOf(entry.version));
        EXPECT_EQ(update(entry.procedure, path, idOf(entry.version), false, false), 0) << err;
        EXPECT_EQ(keySent(), '7');
        EXPECT_EQ(frameHeader(5), typeAndId(entry.type, idOf(entry.version)));
        EXPECT_EQ(bunzip2Frame(5), image);
        EXPECT_EQ(outcome(), boxmodel::Outcome::Kind::Flashed) << box->outcome().detail;
        EXPECT_EQ(box->flashedImage(), image);
        EXPECT_TRUE(startsWith(out, "Download file...")) << out;
        EXPECT_TRUE(endsWith(out, kSuccessTail)) << out;
        EXPECT_EQ(err, "Compressing file\n");
        EXPECT_EQ(sleeps(), (std::vector<std::uint32_t>{300, 500, 500}));
        EXPECT_TRUE(simline::portOpen());
    }
}

TEST_F(GenerationTest, Generation4SendsAPrecompressedFileAsItIs) {
    const std::string path = frameFor("4.2", 4, typeAndId(4, idOf("4.2")));
    connect(boxOf("4.2"));
    EXPECT_EQ(update(updateGeneration4Type4, path, 0, true, false), 0) << err;
    EXPECT_EQ(keySent(), '7');
    EXPECT_EQ(download(), file);
    EXPECT_EQ(box->flashedImage(), image);
    EXPECT_EQ(err, "");
}

TEST_F(GenerationTest, Generation4WithCompressionAndHeaderRewrite) {
    // The file carries another type and id; the PC writes the box's into it.
    const std::string path = imageFor("4.2", 9);
    Bytes expected = image;
    const Bytes header = typeAndId(5, idOf("4.6"));
    std::copy(header.begin(), header.end(), expected.begin() + 4);
    connect(boxOf("4.6"));
    EXPECT_EQ(update(updateGeneration4Type5, path, idOf("4.6"), true, true, true), 0) << err;
    EXPECT_EQ(bunzip2Frame(5), expected);
    EXPECT_EQ(box->flashedImage(), expected);
}

TEST_F(GenerationTest, PayloadLimit) {
    const std::string path = frameFor("4.2", 4, typeAndId(4, idOf("4.2")));
    connect(boxOf("4.2"));
    EXPECT_EQ(update(updateGeneration4Type4, path, 0, true, false, false, UPD_MAX_PAYLOAD + 8), 0) << err;
    EXPECT_EQ(keySent(), '7');
    EXPECT_EQ(download(), file);

    for (const auto& [length, shown] : {std::pair<std::uint32_t, const char*>{UPD_MAX_PAYLOAD + 9, "1900545"},
                                        std::pair<std::uint32_t, const char*>{5, "4294967293"}}) {
        const std::uint32_t imageLength = length;  // clang before 16 cannot capture a structured binding
        for (const auto& [procedure, version] : {std::pair<Procedure, const char*>{updateGeneration4Type6, "4.99"},
                                                 std::pair<Procedure, const char*>{updateGeneration2, "2.0"}}) {
            SCOPED_TRACE(version);
            connect(boxOf(version));
            EXPECT_EQ(update(procedure, path, 0, false, false, false, imageLength), 1);
            EXPECT_EQ(err, std::string("\n\nThe image size of ") + shown +
                               " bytes exceeds the limit of 1900544 bytes\nsupported by bootloader version 1.7!\n"
                               "Try to restart the application and abort.\n\n");
            EXPECT_EQ(simline::bytesWritten(), Bytes{'1'});
            EXPECT_FALSE(simline::portOpen());
            platform::sleepMs(50);  // the key crosses the line
            EXPECT_EQ(outcome(), boxmodel::Outcome::Kind::Released);
        }
    }
}

TEST_F(GenerationTest, Generation4ReportsTheBoxsTextAndItsStop) {
    const std::string path = frameFor("4.2", 4, typeAndId(4, idOf("4.2")));
    boxmodel::Scenario scenario = withFault(boxOf("4.2"), boxmodel::TransferFault::Error, 500, "wrong image");
    connect(scenario);
    EXPECT_EQ(update(updateGeneration4Type4, path, 0, true, false), 1);
    EXPECT_EQ(err, "Fehler: ERROR: wrong image\n\n");
    EXPECT_FALSE(simline::portOpen());

    scenario.transferFault = boxmodel::TransferFault::Stop;
    connect(scenario);
    EXPECT_EQ(update(updateGeneration4Type4, path, 0, true, false), 1);
    EXPECT_EQ(err, "Fatal error 536870920. Abort!\n\n");
}

TEST_F(GenerationTest, AFailureTheBoxReportsAfterTheLastByteEndsTheWaitForFinished) {
    // The box takes the whole file, then reports in place of "finished!". A
    // lone "F" might begin the flash-id message, so it counts once the box
    // has stayed quiet for a second.
    struct Case {
        const char* name;
        boxmodel::TransferFault fault;
        bool nulNoise;  // NUL bytes among the progress characters
        bool generation4;
        bool compressedImage;
        bool compressImage;
        std::string err;
    };
    const std::string fatalStop = "Fatal error " + std::to_string(UPD_ERR_BOX_STOP) + ". Abort!\n\n";
    const std::string flashFailed = "Error(s) during erasing, programming or transfering. Abort!\n\n";
    using boxmodel::TransferFault;
    for (const Case& c : {Case{"stop", TransferFault::Stop, false, true, false, false, "Compressing file\n" + fatalStop},
                          Case{"F", TransferFault::F, false, true, false, false, "Compressing file\n" + flashFailed},
                          Case{"stop among NULs", TransferFault::Stop, true, true, true, false, fatalStop},
                          Case{"F, packed", TransferFault::F, false, false, false, false, flashFailed},
                          Case{"stop, type 2", TransferFault::Stop, false, false, true, true,
                               "Compressing file\n" + fatalStop}}) {
        SCOPED_TRACE(c.name);
        const char* version = c.generation4 ? "4.2" : "2.0";
        const Procedure procedure = c.generation4 ? updateGeneration4Type4 : updateGeneration2;
        const bool precompressed = c.compressedImage && !c.compressImage;
        const std::string path = precompressed ? frameFor(version, 4, typeAndId(4, idOf(version)))
                                               : imageFor(version, 4);
        boxmodel::Scenario scenario = boxOf(version);
        scenario.nulNoise = c.nulNoise;
        const std::uint32_t id = idOf(version);
        scenario.faultAtByte = lineBytesOf(scenario, procedure, path, id, c.compressedImage, c.compressImage);
        scenario.transferFault = c.fault;
        connect(scenario);
        EXPECT_EQ(update(procedure, path, id, c.compressedImage, c.compressImage), 1);
        EXPECT_EQ(err, c.err);
        EXPECT_TRUE(endsWith(out, " Done!\nProgramming the flash memory...")) << out;
        EXPECT_FALSE(simline::portOpen());
    }
}

TEST_F(GenerationTest, MenuErrorsAndLineFailures) {
    const std::string path = imageFor("4.2", 4);
    boxmodel::Scenario scenario = boxOf("4.2");
    scenario.errorAt = boxmodel::Prompt::Choice;
    scenario.errorText = "no flash";
    connect(scenario);
    EXPECT_EQ(update(updateGeneration4Type4, path, 0, false, false), 1);
    EXPECT_EQ(err, "waitFor error: 536870919\n");
    EXPECT_FALSE(simline::portOpen());

    connect(boxOf("2.0"));
    simline::faults().getStateFails = true;
    EXPECT_EQ(update(updateGeneration2, path, 0, false, false), 1);
    EXPECT_EQ(err, "");
    EXPECT_FALSE(simline::portOpen());

    scenario = boxOf("2.0");
    scenario.hangUpAt = boxmodel::Step::Menu;  // the cable is pulled after the menu
    scenario.hangUpAfterMs = 100;
    connect(scenario);
    EXPECT_EQ(update(updateGeneration2, path, 0, false, false), 1);
    // The speed change before the key fails on the dead line, as on a real
    // port: said only at a terminal.
    EXPECT_EQ(err, "");
    EXPECT_FALSE(simline::portOpen());
}

TEST_F(GenerationTest, Generation2PacksWithoutOptions) {
    const std::string path = imageFor("2.0", 2);
    connect(boxOf("2.0"));
    EXPECT_EQ(update(updateGeneration2, path, 0x00020000, false, false), 0) << err;
    EXPECT_EQ(keySent(), '3');
    bool fillOk = false;
    EXPECT_EQ(sim::unpackStream(download(), fillOk), image);
    EXPECT_TRUE(fillOk);
    EXPECT_EQ(box->flashedImage(), image);
    EXPECT_TRUE(startsWith(out, "Download file...")) << out;
    EXPECT_TRUE(endsWith(out, kSuccessTail)) << out;
    EXPECT_EQ(err, "");
    EXPECT_EQ(sleeps(), (std::vector<std::uint32_t>{300, 500, 500}));
}

TEST_F(GenerationTest, Generation2SendsAPrecompressedFileAsItIs) {
    const std::string path = frameFor("2.0", 2, Bytes{2});
    connect(boxOf("2.0"));
    EXPECT_EQ(update(updateGeneration2, path, 0, true, false), 0) << err;
    EXPECT_EQ(keySent(), '7');
    EXPECT_EQ(download(), file);
    EXPECT_EQ(box->flashedImage(), image);
}

TEST_F(GenerationTest, Generation2CompressesAsType2WithoutId) {
    const std::string path = imageFor("3.3", 2);
    connect(boxOf("3.3"));
    EXPECT_EQ(update(updateGeneration2, path, 0x00030003, true, true), 0) << err;
    EXPECT_EQ(keySent(), '7');
    EXPECT_EQ(frameHeader(1), Bytes{2});
    EXPECT_EQ(bunzip2Frame(1), image);
    EXPECT_EQ(box->flashedImage(), image);
}

TEST_F(GenerationTest, Generation2HidesTheBoxsText) {
    const std::string path = imageFor("2.0", 2);
    boxmodel::Scenario scenario = withFault(boxOf("2.0"), boxmodel::TransferFault::Error, 100, "wrong image");
    connect(scenario);
    EXPECT_EQ(update(updateGeneration2, path, 0, false, false), 1);
    EXPECT_EQ(err, "ERROR:\n\n");
    EXPECT_FALSE(simline::portOpen());
}

}  // namespace
