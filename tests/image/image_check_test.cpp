#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "image/image_check.h"
#include "image/padded_image.h"
#include "support/temp_directory.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class ImageCheck : public testing::Test {
protected:
    void SetUp() override {
        directory_ = test_support::makeTempDirectory("image_check_").string();
    }
    void TearDown() override {
        std::error_code ignored;
        for (const std::string& path : created_) std::filesystem::remove(path, ignored);
        std::filesystem::remove(directory_, ignored);
    }

    std::string write(const std::string& name, const Bytes& bytes) {
        const std::string path = directory_ + "/" + name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
        created_.push_back(path);
        return path;
    }
    std::string remember(const std::string& name) {
        created_.push_back(directory_ + "/" + name);
        return created_.back();
    }

    // Runs the check; on failure also asserts that the facts were left alone.
    std::uint32_t check(const std::string& path, int irdeto = 0) {
        type = 0xEE;
        id = 0xDEADBEEF;
        const std::uint32_t result = checkImageFile(path.c_str(), type, id, irdeto);
        if (result == 0) {
            EXPECT_EQ(type, 0xEE) << path;
            EXPECT_EQ(id, 0xDEADBEEFu) << path;
        }
        return result;
    }

    std::uint8_t type = 0;
    std::uint32_t id = 0;
    std::string directory_;
    std::vector<std::string> created_;
};

void append32(Bytes& bytes, std::uint32_t value) {
    std::uint8_t field[4];
    writeBigEndian32(field, value);
    bytes.insert(bytes.end(), field, field + 4);
}

// A well-formed image: length, extension, payload, byte sum.
Bytes image(const Bytes& extension, const Bytes& payload) {
    Bytes bytes;
    append32(bytes, static_cast<std::uint32_t>(payload.size()));
    bytes.insert(bytes.end(), extension.begin(), extension.end());
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    append32(bytes, addByteSum(0, payload.data(), static_cast<std::uint32_t>(payload.size())));
    return bytes;
}

}  // namespace

TEST_F(ImageCheck, AcceptsTheThreeHeaderForms) {
    EXPECT_EQ(check(write("type5.pad", {0, 0, 0, 0, 0x05, 0, 0, 0, 0})), 8u);
    EXPECT_EQ(type, 5);
    EXPECT_EQ(id, 0u);

    EXPECT_EQ(check(write("zk7.pad", {0, 0, 0, 0, 0x12, 0x00, 0x04, 0x00, 0x15, 0, 0, 0, 0})), 8u);
    EXPECT_EQ(type, 18);
    EXPECT_EQ(id, 4u * 65536u + 21u);

    EXPECT_EQ(check(write("plain.pad", {0, 0, 0, 3, 0x01, 0x02, 0xFF, 0x00, 0x00, 0x01, 0x02})), 11u);
    EXPECT_EQ(type, 0);
    EXPECT_EQ(id, 0u);
}

TEST_F(ImageCheck, SumsPayloadsLargerThanTheScratchBuffer) {
    Bytes payload(25000);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7 + 3);
    const Bytes good = image({0x04, 0x00, 0x04, 0x00, 0x02}, payload);
    EXPECT_EQ(check(write("large.pad", good)), 25008u);
    EXPECT_EQ(type, 4);
    EXPECT_EQ(id, 0x40002u);

    // Any single flipped bit of the sum or of the payload fails.
    for (std::size_t bit = 0; bit < 32; ++bit) {
        Bytes bad = good;
        bad[bad.size() - 1 - bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        EXPECT_EQ(check(write("flipped.pad", bad)), 0u) << "checksum bit " << bit;
    }
    Bytes badPayload = good;
    badPayload[9 + 12345] ^= 0x10;
    EXPECT_EQ(check(write("payload.pad", badPayload)), 0u);
}

TEST_F(ImageCheck, TheSumWrapsAroundAt32Bits) {
    // 0x01010102 bytes of 0xFF sum to 2^32 + 254.
    const Bytes payload(0x01010102, 0xFF);
    Bytes bytes = image({}, payload);
    ASSERT_EQ(readBigEndian32(bytes.data() + bytes.size() - 4), 254u);
    EXPECT_EQ(check(write("wrap.pad", bytes)), 0x01010102u + 8u);
}

TEST_F(ImageCheck, ExtensionSizeIsWhatTheFileSizeLeaves) {
    const Bytes payload = {1, 2, 3, 4, 5};
    for (std::size_t extensionSize = 0; extensionSize <= 8; ++extensionSize) {
        const Bytes extension(extensionSize, 0x02);
        const bool valid = extensionSize == 0 || extensionSize == 1 || extensionSize == 5;
        const std::uint32_t result = check(write("ext.pad", image(extension, payload)));
        EXPECT_EQ(result, valid ? 13u : 0u) << "extension of " << extensionSize;
        if (valid) {
            EXPECT_EQ(type, extensionSize == 0 ? 0 : 2);
        }
    }
}

TEST_F(ImageCheck, RejectsShortAndTruncatedFiles) {
    EXPECT_EQ(check(write("eight.pad", {0, 0, 0, 0, 0, 0, 0, 0})), 0u);
    for (std::size_t size = 0; size < 4; ++size) {
        EXPECT_EQ(check(write("short.pad", Bytes(size, 0))), 0u) << size;
    }
    const Bytes whole = image({}, {9, 8, 7, 6, 5, 4, 3, 2, 1});
    for (std::size_t size = 0; size < whole.size(); ++size) {
        const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_EQ(check(write("cut.pad", cut)), 0u) << "cut to " << size;
    }
    // A length that does not fit the file, however large the file claims it is.
    Bytes huge = {0xFF, 0xFF, 0xFF, 0xFC};
    huge.resize(64, 0);
    EXPECT_EQ(check(write("huge.pad", huge)), 0u);
}

TEST_F(ImageCheck, IrdetoImagesAreTakenWholeWithoutAHeader) {
    EXPECT_EQ(check(write("irdeto.bin", {0x7F, 0x45, 0x4C, 0x46, 0x01}), 1), 5u);
    EXPECT_EQ(type, 7);
    EXPECT_EQ(id, 0x4000Cu);
    EXPECT_EQ(check(write("empty.bin", {}), 1), 0u);
    // Only 1 means irdeto; another value checks the header as usual.
    EXPECT_EQ(check(write("notirdeto.bin", {0x7F, 0x45, 0x4C, 0x46, 0x01}), 2), 0u);
}

TEST_F(ImageCheck, RejectsWhatIsNotAReadableRegularFile) {
    EXPECT_EQ(check(directory_ + "/missing.pad"), 0u);
    EXPECT_EQ(check(directory_), 0u);
    EXPECT_EQ(check(directory_, 1), 0u);
    EXPECT_EQ(checkImageFile(nullptr, type, id, 0), 0u);
#ifdef _WIN32
    // Device names open like files there.
    EXPECT_EQ(check("NUL"), 0u);
    EXPECT_EQ(check("NUL", 1), 0u);
#else
    EXPECT_EQ(check("/dev/null"), 0u);
    EXPECT_EQ(check("/dev/null", 1), 0u);

    // A FIFO with no writer would block an open for reading; it must be refused.
    const std::string fifo = remember("pipe.pad");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(check(fifo), 0u);
    EXPECT_EQ(check(fifo, 1), 0u);
#endif
}

#ifndef _WIN32
// Windows has no mode bit that takes reading away from the owner.
TEST_F(ImageCheck, RejectsAFileWithoutReadPermission) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
    const std::string path = write("locked.pad", {0, 0, 0, 0, 0x05, 0, 0, 0, 0});
    ASSERT_EQ(chmod(path.c_str(), 0200), 0);
    EXPECT_EQ(check(path), 0u);
    EXPECT_EQ(check(path, 1), 0u);
}
#endif

TEST_F(ImageCheck, RejectsFilesOfFourGibibytesOrMore) {
    // 2^32 + 9 bytes: seen through 32 bits it would be a valid 9-byte image
    // (length 0, type 5, sum 0).
    const std::string path = write("sparse.pad", {0, 0, 0, 0, 0x05, 0, 0, 0, 0});
    std::error_code error;
    std::filesystem::resize_file(path, (std::uintmax_t{1} << 32) + 9, error);
    if (error) GTEST_SKIP() << "no sparse files here";
    EXPECT_EQ(check(path), 0u);
    EXPECT_EQ(check(path, 1), 0u);
}
