// Generation 2, 3 and 4 boot loaders end to end: the built program against the
// box emulator over a pseudo-terminal, for every row of image types 2, 4, 5, 6
// and 18 with each way of sending (packed or compressed on the fly, a file
// compressed beforehand, -c), the header rewrite of -x, the payload limit and
// the failure reports.
#include <bzlib.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "e2e/box_session.h"

namespace {

struct Row {
    const char* version;
    int imageType;  // the table's image type for the row
    int frameType;  // the type of the frame the program compresses for it
};

const Row kRows[] = {
    {"2.0", 2, 2},   {"2.1", 2, 2},   {"2.2", 2, 2},   {"3.1", 2, 2},   {"3.2", 2, 2},   {"3.3", 2, 2},
    {"4.1", 2, 2},   {"4.2", 4, 4},   {"4.3", 4, 4},   {"4.4", 4, 4},   {"4.5", 4, 4},   {"4.6", 5, 5},
    {"4.7", 5, 5},   {"4.8", 4, 4},   {"4.9", 4, 4},   {"4.10", 4, 4},  {"4.14", 5, 5},  {"4.15", 4, 4},
    {"4.16", 4, 4},  {"4.17", 4, 4},  {"4.18", 4, 4},  {"4.19", 4, 4},  {"4.20", 4, 4},  {"4.21", 18, 4},
    {"4.22", 18, 4}, {"4.23", 18, 4}, {"4.24", 18, 4}, {"4.25", 4, 4},  {"4.26", 4, 4},  {"4.27", 4, 4},
    {"4.28", 4, 4},  {"4.29", 4, 4},  {"4.90", 4, 4},  {"4.91", 4, 4},  {"4.99", 6, 6},
};

std::uint32_t versionId(const std::string& version) {
    const auto dot = version.find('.');
    return static_cast<std::uint32_t>(std::stoul(version.substr(0, dot)) << 16 | std::stoul(version.substr(dot + 1)));
}

// The image a row's box takes: type 2 carries only its type, the others their
// type and the box's version as the image id.
std::string rowImage(const Row& row, std::size_t payloadBytes, unsigned seed) {
    const std::string payload = e2e::samplePayload(payloadBytes, seed);
    return row.imageType == 2 ? e2e::paddedImage(payload, 2) : e2e::paddedImage(payload, row.imageType, versionId(row.version));
}

// A file compressed beforehand, as -2 sends it: a padded image of the row's
// type whose payload is the bzip2 stream of the image (at a block size the
// program never uses, so the box is not merely shown its own compressor's bytes).
std::string precompressed(const Row& row, const std::string& image) {
    std::vector<char> out(image.size() + image.size() / 50 + 1000);
    unsigned int size = static_cast<unsigned int>(out.size());
    std::string source = image;
    EXPECT_EQ(BZ2_bzBuffToBuffCompress(out.data(), &size, source.data(), static_cast<unsigned int>(source.size()), 9,
                                       0, 0),
              BZ_OK);
    const std::string stream(out.data(), size);
    return row.imageType == 2 ? e2e::paddedImage(stream, 2) : e2e::paddedImage(stream, row.imageType, versionId(row.version));
}

struct RowRun {
    std::string label;
    e2e::BoxSession session;
    std::string image;
};

// Every row with one way of sending; checks on the test's own thread.
void updateEveryRow(const std::string& option) {
    std::vector<RowRun> runs(std::size(kRows));
    std::vector<std::function<void()>> jobs;
    for (std::size_t i = 0; i < std::size(kRows); ++i) {
        jobs.push_back([&, i] {
            const Row& row = kRows[i];
            RowRun& run = runs[i];
            run.label = std::string(row.version) + " " + (option.empty() ? "(no option)" : option);
            run.image = rowImage(row, 2500 + 100 * i, static_cast<unsigned>(i + 1));
            test_support::TempDirectory dir;
            test_support::writeWholeFile(dir.file("image.pad"), option == "-2" ? precompressed(row, run.image) : run.image);
            std::vector<std::string> args;
            if (!option.empty()) args.push_back(option);
            args.push_back("image.pad");
            run.session = e2e::runSession(
                dir, {"--bootloader", row.version, "--programming-ms", "20", "--expect", "flashed"}, args);
        });
    }
    e2e::runConcurrently(jobs, e2e::cores());

    for (std::size_t i = 0; i < std::size(kRows); ++i) {
        const Row& row = kRows[i];
        const RowRun& run = runs[i];
        SCOPED_TRACE(run.label);
        EXPECT_EQ(run.session.update.exitCode, 0) << run.session.update.err;
        EXPECT_NE(run.session.update.out.find("Download on com port 1 successfully finished."), std::string::npos)
            << run.session.update.out;
        EXPECT_EQ(run.session.boxsim.exitCode, 0) << run.session.boxsim.out;
        EXPECT_TRUE(run.session.flashedImage == run.image) << "flashed " << run.session.flashedImage.size()
                                                           << " bytes, sent an image of " << run.image.size();
        // How it travelled: packed for a generation 2 box without options, else
        // in a frame of the type the row calls for (-2: the file's own type).
        std::string how = "from a type " + std::to_string(option == "-2" ? row.imageType : row.frameType) + " frame";
        if (row.imageType == 2 && option.empty()) how = "unpacked from";
        EXPECT_NE(run.session.boxsim.out.find(how), std::string::npos) << run.session.boxsim.out;
        const bool compressedOnTheFly = option == "-c" || (option.empty() && row.imageType != 2);
        EXPECT_EQ(run.session.update.err, compressedOnTheFly ? "Compressing file\n" : "");
    }
}

TEST(CompressedRows, EveryRowWithoutOptions) { updateEveryRow(""); }
TEST(CompressedRows, EveryRowWithAFileCompressedBeforehand) { updateEveryRow("-2"); }
TEST(CompressedRows, EveryRowCompressingOnTheFly) { updateEveryRow("-c"); }

// The rewritten header bytes of an image sent with -x.
std::string withHeader(std::string image, int type, std::uint32_t id, bool withId) {
    image[4] = static_cast<char>(type);
    if (withId)
        for (int i = 0; i < 4; ++i) image[5 + i] = static_cast<char>(id >> (24 - 8 * i));
    return image;
}

TEST(HeaderOverride, TheBoxsVersionChoosesTheRowAndTheImageIsRelabelled) {
    struct Case {
        const char* box;
        std::string image;
        std::vector<std::string> options;
        int frameType;
        bool withId;
    };
    const std::string type4For42 = e2e::paddedImage(e2e::samplePayload(3000, 7), 4, 0x40002);
    const std::string type5For46 = e2e::paddedImage(e2e::samplePayload(3000, 8), 5, 0x40006);
    const std::string type2 = e2e::paddedImage(e2e::samplePayload(3000, 9), 2);
    const Case cases[] = {
        // A type 4 image that a 4.21 box refuses without -x (it takes type 18).
        {"4.21", type4For42, {"-x"}, 4, true},
        {"4.99", type5For46, {"-x"}, 6, true},
        {"4.7", type4For42, {"-x", "-c"}, 5, true},
        {"3.3", type4For42, {"-x", "-c"}, 2, false},
        // Sent packed, as stored: -x changes the row, not the bytes.
        {"2.1", type4For42, {"-x"}, 0, false},
    };
    std::vector<e2e::BoxSession> sessions(std::size(cases));
    std::vector<std::function<void()>> jobs;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        jobs.push_back([&, i] {
            test_support::TempDirectory dir;
            test_support::writeWholeFile(dir.file("image.pad"), cases[i].image);
            std::vector<std::string> args = cases[i].options;
            args.push_back("image.pad");
            sessions[i] = e2e::runSession(
                dir, {"--bootloader", cases[i].box, "--programming-ms", "20", "--expect", "flashed"}, args);
        });
    }
    e2e::runConcurrently(jobs, e2e::cores());
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.box);
        EXPECT_EQ(sessions[i].update.exitCode, 0) << sessions[i].update.err;
        EXPECT_EQ(sessions[i].boxsim.exitCode, 0) << sessions[i].boxsim.out;
        const std::string expected =
            c.frameType == 0 ? c.image : withHeader(c.image, c.frameType, versionId(c.box), c.withId);
        EXPECT_TRUE(sessions[i].flashedImage == expected) << sessions[i].boxsim.out;
        if (c.frameType != 0) {
            EXPECT_NE(sessions[i].boxsim.out.find("from a type " + std::to_string(c.frameType) + " frame"),
                      std::string::npos)
                << sessions[i].boxsim.out;
        }
    }

    // Without -x the 4.21 box is not served a type 4 image at all.
    test_support::TempDirectory dir;
    test_support::writeWholeFile(dir.file("image.pad"), type4For42);
    const auto refused = e2e::runSession(dir, {"--bootloader", "4.21", "--expect", "released"}, {"image.pad"});
    EXPECT_EQ(refused.update.err, "Error: Bootloader Version 4.21 not supported!\n");
    EXPECT_EQ(refused.boxsim.exitCode, 0) << refused.boxsim.out;
}

// The frame boxsim received, checked by the bzip2 program: its payload
// inflates to the image the program was given.
TEST(FrameOnTheLine, TheBzip2ProgramInflatesItsPayloadToTheImage) {
    if (std::system("bzip2 --help >/dev/null 2>&1") != 0) GTEST_SKIP() << "no bzip2 program here";
    test_support::TempDirectory dir;
    const std::string image = e2e::paddedImage(e2e::samplePayload(20000, 3), 5, 0x40007);
    test_support::writeWholeFile(dir.file("image.pad"), image);
    e2e::SessionOptions options;
    options.boxsimArgs = {"--bootloader", "4.7", "--programming-ms", "20", "--frame-out", dir.file("frame.bin")};
    options.updateArgs = {"image.pad"};
    const auto session = e2e::runSession(dir, options);
    ASSERT_EQ(session.update.exitCode, 0) << session.update.err;

    const std::string frame = test_support::readWholeFile(dir.file("frame.bin"));
    ASSERT_GT(frame.size(), 13u);
    const auto byteAt = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(frame[i])); };
    const std::uint32_t n = byteAt(0) << 24 | byteAt(1) << 16 | byteAt(2) << 8 | byteAt(3);
    ASSERT_EQ(frame.size(), n + 13u);
    EXPECT_EQ(frame.substr(4, 5), std::string("\x05\x00\x04\x00\x07", 5));
    EXPECT_EQ(frame.substr(9, 4), "BZh1");
    test_support::writeWholeFile(dir.file("payload.bz2"), frame.substr(9, n));
    const std::string command = "bzip2 -dc '" + dir.file("payload.bz2") + "' > '" + dir.file("inflated") + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_TRUE(test_support::readWholeFile(dir.file("inflated")) == image);
}

constexpr std::uint32_t kMaxPayload = 1900544;

TEST(PayloadLimit, TheLargestPayloadIsTakenAndOneByteMoreIsRefused) {
    // A payload that compresses well, so that the largest image crosses the
    // line in a few seconds even at full speed.
    std::string payload(kMaxPayload, '\0');
    for (std::size_t i = 0; i < payload.size(); i += 97) payload[i] = static_cast<char>(i / 97);
    {
        test_support::TempDirectory dir;
        const std::string image = e2e::paddedImage(payload, 4, 0x40009);
        test_support::writeWholeFile(dir.file("image.pad"), image);
        const auto session = e2e::runSession(
            dir, {"--bootloader", "4.9", "--programming-ms", "20", "--expect", "flashed"}, {"image.pad"});
        EXPECT_EQ(session.update.exitCode, 0) << session.update.err;
        EXPECT_TRUE(session.flashedImage == image) << session.boxsim.out;
    }
    payload.push_back('\x01');
    for (const char* box : {"2.0", "4.1", "4.9"}) {
        SCOPED_TRACE(box);
        test_support::TempDirectory dir;
        const bool gen2 = box[0] != '4' || box[2] == '1';
        test_support::writeWholeFile(dir.file("image.pad"), gen2 ? e2e::paddedImage(payload, 2)
                                                        : e2e::paddedImage(payload, 4, 0x40009));
        const auto session = e2e::runSession(dir, {"--bootloader", box, "--expect", "released"}, {"image.pad"});
        EXPECT_EQ(session.update.exitCode, 1);
        EXPECT_EQ(session.update.err,
                  "\n\nThe image size of 1900545 bytes exceeds the limit of 1900544 bytes\nsupported by bootloader "
                  "version 1.7!\nTry to restart the application and abort.\n\n");
        EXPECT_EQ(session.boxsim.exitCode, 0) << session.boxsim.out;  // the box left its menu with the key "1"
    }
}

// An image length value below 8 comes only from an irdeto image (its file
// size); -i makes it type 7, which -x then relabels to the row of any box.
TEST(PayloadLimit, AnImageLengthBelowEightIsAnUnsignedHugePayload) {
    test_support::TempDirectory dir;
    test_support::writeWholeFile(dir.file("tiny.bin"), "abcde");
    const auto session =
        e2e::runSession(dir, {"--bootloader", "4.2", "--irdeto", "--expect", "released"}, {"-i", "-x", "tiny.bin"});
    EXPECT_EQ(session.update.exitCode, 1);
    EXPECT_EQ(session.update.err,
              "\n\nThe image size of 4294967293 bytes exceeds the limit of 1900544 bytes\nsupported by bootloader "
              "version 1.7!\nTry to restart the application and abort.\n\n");
    EXPECT_EQ(session.boxsim.exitCode, 0) << session.boxsim.out;
}

// The failure reports. They run at the line's real pace, so that the box's
// reply reaches the program while it still sends (at full speed the whole
// frame may be in before the box speaks, and the program would then wait for
// "finished!" for good). The time-outs, two minutes of real time, are run over
// the simulated line instead.
TEST(FailureReports, EachFailureReadsAsTheGenerationPrintsIt) {
    struct Case {
        const char* what;
        const char* box;
        std::vector<std::string> boxArgs;
        std::vector<std::string> options;
        const char* outcome;  // boxsim's outcome for the box
        std::string err;      // the end of the program's standard error; right after
                              // "Fehler: " when it starts with "ERROR: " on generation 4
        bool spoilInnerSum = false;  // -2: the compressed image's own sum is wrong
    };
    const std::string fatalStop = "Fatal error " + std::to_string(0x20000008u) + ". Abort!\n\n";
    const std::string flashFailed = "Error(s) during erasing, programming or transfering. Abort!\n\n";
    const std::string waitForBoxError = "waitFor error: " + std::to_string(0x20000007u) + "\n";
    // The system's code for a write after the far end hung up: EIO; under Wine
    // the write fails with ERROR_NOT_READY instead.
    const std::string hangUp = std::string("Fatal error ") + (e2e::underWine() ? "21" : "5") + ". Abort!\n\n";
    const Case cases[] = {
        {"box error, generation 4", "4.2", {"--fault", "error", "--fault-text", "flash locked"}, {}, "aborted",
         "ERROR: flash locked\n\n"},
        {"box error, generation 4, -2", "4.22", {"--fault", "error", "--fault-text", "flash locked"}, {"-2"},
         "aborted", "ERROR: flash locked\n\n"},
        {"box error, generation 2 packed", "2.2", {"--fault", "error"}, {}, "aborted", "ERROR:\n\n"},
        {"box error, generation 2 -c", "3.1", {"--fault", "error"}, {"-c"}, "aborted", "ERROR:\n\n"},
        {"frame of another id, generation 4", "4.2", {"--image-id", "40003"}, {}, "rejected",
         "ERROR: frame carries image id 0x40002, not 0x40003\n\n"},
        {"STOP, generation 4 -2", "4.5", {"--fault", "stop"}, {"-2"}, "stopped", fatalStop},
        {"STOP, generation 2 packed", "2.0", {"--fault", "stop"}, {}, "stopped", fatalStop},
        {"?, generation 4", "4.99", {"--fault", "question"}, {}, "aborted", flashFailed},
        {"F, generation 2 packed", "2.1", {"--fault", "F"}, {}, "aborted", flashFailed},
        {"U, generation 2 -c", "4.1", {"--fault", "U"}, {"-c"}, "aborted", flashFailed},
        {"warnings, generation 4", "4.14", {"--fault", "warnings"}, {}, "aborted", flashFailed},
        {"flash ids, generation 4", "4.20", {"--fault", "flash-id"}, {}, "aborted",
         "Flash's manufacturer and/or device ids dont match!\n\n"},
        {"hang-up, generation 4", "4.25", {"--fault", "hangup"}, {}, "hungup", hangUp},
        {"error line for file:", "4.2", {"--error-at", "file"}, {}, "aborted", waitForBoxError},
        {"error line for finished!", "3.2", {"--error-at", "finished"}, {"-c"}, "aborted", waitForBoxError},
        {"inflated image unsound, -2", "4.6", {}, {"-2"}, "rejected", waitForBoxError, true},
    };
    std::vector<e2e::BoxSession> sessions(std::size(cases));
    std::vector<std::function<void()>> jobs;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        jobs.push_back([&, i] {
            const Case& c = cases[i];
            const Row row = [&] {
                for (const Row& r : kRows)
                    if (std::string(r.version) == c.box) return r;
                return kRows[0];
            }();
            // Bytes that do not compress, so the frame is as long as the image; long
            // enough that the program is still writing when the fault strikes, however
            // much of it the line's buffers take at once (its last read must see it).
            // The box runs at full speed: its error line then comes in one piece, as
            // one read of the program must bring it, however busy the machine.
            std::string payload(240000, '\0');
            std::uint32_t state = 12345 + static_cast<std::uint32_t>(i);
            for (char& byte : payload) {
                state = state * 1103515245u + 12345u;
                byte = static_cast<char>(state >> 23);
            }
            std::string image = row.imageType == 2 ? e2e::paddedImage(payload, 2)
                                                   : e2e::paddedImage(payload, row.imageType, versionId(row.version));
            if (c.spoilInnerSum) image.back() = static_cast<char>(image.back() ^ 1);
            test_support::TempDirectory dir;
            const bool stored = !c.options.empty() && c.options[0] == "-2";
            test_support::writeWholeFile(dir.file("image.pad"), stored ? precompressed(row, image) : image);
            e2e::SessionOptions options;
            options.boxsimArgs = {"--bootloader", c.box, "--fault-at", "3000", "--programming-ms", "20",
                                  "--expect",     c.outcome};
            options.boxsimArgs.insert(options.boxsimArgs.end(), c.boxArgs.begin(), c.boxArgs.end());
            options.updateArgs = c.options;
            options.updateArgs.push_back("image.pad");
            sessions[i] = e2e::runSession(dir, options);
        });
    }
    e2e::runConcurrently(jobs, e2e::cores());
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        const auto& s = sessions[i];
        SCOPED_TRACE(c.what);
        EXPECT_EQ(s.update.exitCode, 1);
        const std::string& err = s.update.err;
        EXPECT_TRUE(err.size() >= c.err.size() && err.compare(err.size() - c.err.size(), c.err.size(), c.err) == 0)
            << "stderr: " << err;
        if (c.err.starts_with("ERROR: ")) {
            // The box's line alone: no progress characters before it, nothing after.
            EXPECT_EQ(err.find("Fehler: ERROR: "), err.size() - c.err.size() - 8) << err;
        }
        EXPECT_EQ(s.boxsim.exitCode, 0) << s.boxsim.out;
        EXPECT_TRUE(s.flashedImage.empty());
        EXPECT_EQ(s.update.out.find("successfully"), std::string::npos);
    }
}

}  // namespace
