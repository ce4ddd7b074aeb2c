// hyper.pad as the generation 1 boot loader receives it, and the safety of
// creating it in a directory others may have prepared.
#include "image/hyper_pad.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "hyper_pad_bytes.h"
#include "image/image_check.h"
#include "support/temp_directory.h"

namespace {

// Each test in a directory of its own: the program writes hyper.pad into the
// current directory.
class HyperPad : public ::testing::Test {
protected:
    std::filesystem::path dir() const { return directory_.path(); }

private:
    test_support::TempDirectory directory_{"hyper-test-"};
    test_support::CurrentDirectory inDirectory_{directory_.path()};
};

#ifndef _WIN32
bool runningAsRoot() { return geteuid() == 0; }
#endif

TEST(HyperBootloaderPayload, IsTheDataFileTheBuildEmbedded) {
    const Bytes file = test_support::readFileBytes(HYPER_PAYLOAD_FILE);
    ASSERT_EQ(file.size(), 35632u);
    EXPECT_TRUE(std::equal(file.begin(), file.end(), hyperBootloaderPayload));
}

TEST_F(HyperPad, ModeZeroHasNoHeaderExtension) {
    ASSERT_EQ(writeHyperPad(0), 1);
    const Bytes written = test_support::readFileBytes("hyper.pad");
    ASSERT_EQ(written.size(), 35632u + 8);
    EXPECT_EQ(Bytes(written.begin(), written.begin() + 4), (Bytes{0x00, 0x00, 0x8B, 0x30}));
    EXPECT_EQ(written[4], hyperBootloaderPayload[0]);
    EXPECT_EQ(written, expectedHyperPad(0));
}

TEST_F(HyperPad, ModeOneFollowsTheLengthFieldWhichStillCountsThePayloadAlone) {
    ASSERT_EQ(writeHyperPad(1), 1);
    const Bytes written = test_support::readFileBytes("hyper.pad");
    ASSERT_EQ(written.size(), 35632u + 9);
    EXPECT_EQ(Bytes(written.begin(), written.begin() + 5), (Bytes{0x00, 0x00, 0x8B, 0x30, 0x01}));
    EXPECT_EQ(written, expectedHyperPad(1));
}

// The boot loader checks hyper.pad as it checks any image.
TEST_F(HyperPad, PassesTheImageCheckWithTheModeAsImageType) {
    for (std::uint8_t mode : {0, 1}) {
        ASSERT_EQ(writeHyperPad(mode), 1);
        std::uint8_t imageType = 0xEE;
        std::uint32_t imageId = 0xEEEEEEEE;
        EXPECT_EQ(checkImageFile("hyper.pad", imageType, imageId, 0), 35632u + 8) << "mode " << int{mode};
        EXPECT_EQ(imageType, mode);
        EXPECT_EQ(imageId, 0u);
    }
}

TEST_F(HyperPad, ReplacesALongerOlderFileCompletely) {
    test_support::writeWholeFile("hyper.pad", std::string(100000, 'x'));
    ASSERT_EQ(writeHyperPad(1), 1);
    EXPECT_EQ(test_support::readFileBytes("hyper.pad"), expectedHyperPad(1));
}

#ifndef _WIN32
// Symbolic links need a privilege on Windows; the program's defence there is
// the same removal before CREATE_NEW that the hard link case below exercises.
TEST_F(HyperPad, PlantedSymbolicLinkIsReplacedNotFollowed) {
    test_support::writeWholeFile("victim", "keep me");
    std::filesystem::create_symlink(dir() / "victim", "hyper.pad");
    ASSERT_EQ(writeHyperPad(0), 1);
    EXPECT_EQ(test_support::readFileBytes("victim"), (Bytes{'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
    EXPECT_FALSE(std::filesystem::is_symlink("hyper.pad"));
    EXPECT_EQ(test_support::readFileBytes("hyper.pad"), expectedHyperPad(0));
}

TEST_F(HyperPad, DanglingSymbolicLinkCreatesNothingAtItsTarget) {
    std::filesystem::create_symlink(dir() / "created-elsewhere", "hyper.pad");
    ASSERT_EQ(writeHyperPad(0), 1);
    EXPECT_FALSE(std::filesystem::exists(dir() / "created-elsewhere"));
    EXPECT_EQ(test_support::readFileBytes("hyper.pad"), expectedHyperPad(0));
}
#endif

TEST_F(HyperPad, PlantedHardLinkKeepsItsOtherNamesContent) {
    test_support::writeWholeFile("victim", "keep me");
    std::filesystem::create_hard_link("victim", "hyper.pad");
    ASSERT_EQ(writeHyperPad(0), 1);
    EXPECT_EQ(test_support::readFileBytes("victim"), (Bytes{'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
    EXPECT_EQ(test_support::readFileBytes("hyper.pad"), expectedHyperPad(0));
}

// The mode bits are checked, not the access the system would grant, so this
// holds for root too.
TEST_F(HyperPad, ReadOnlyFileIsRefusedAndKept) {
    test_support::writeWholeFile("hyper.pad", "older");
    std::filesystem::permissions("hyper.pad", std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                                                  std::filesystem::perms::others_read);
    EXPECT_EQ(writeHyperPad(0), 0);
    EXPECT_EQ(test_support::readFileBytes("hyper.pad"), (Bytes{'o', 'l', 'd', 'e', 'r'}));
}

#ifndef _WIN32
// A read-only directory still takes new files on Windows.
TEST_F(HyperPad, ReadOnlyWorkingDirectoryFails) {
    if (runningAsRoot()) GTEST_SKIP() << "root may write into a read-only directory";
    ASSERT_EQ(chmod(dir().c_str(), 0555), 0);
    EXPECT_EQ(writeHyperPad(0), 0);
    EXPECT_FALSE(std::filesystem::exists("hyper.pad"));
}
#endif

}  // namespace
