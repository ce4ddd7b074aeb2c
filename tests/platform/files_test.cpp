#include "platform/platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "support/temp_directory.h"

namespace {

class FilesTest : public ::testing::Test {
protected:
    std::string path(const char* name) const { return dir + "/" + name; }
    void put(const std::string& file, const std::string& content) const { std::ofstream(file) << content; }
    std::string contentOf(const std::string& file) const {
        std::ifstream in(file);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Creates `file` anew through the platform and writes `content`.
    bool createWith(const std::string& file, const std::string& content) const {
        platform::FileHandle out = platform::createFileAnew(file.c_str());
        if (out == platform::kInvalidFile) return false;
        const bool written = platform::writeFile(out, content.data(), static_cast<std::uint32_t>(content.size()));
        platform::closeFile(out);
        return written;
    }

    const test_support::TempDirectory directory{"update-files-"};
    const std::string dir = directory.path();
};

TEST_F(FilesTest, RefusesToReadAnythingButARegularFile) {
    const std::string fifo = path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string path;
        std::uint32_t code;
    };
    // The FIFO has no writer: a blocking open would hang here.
    for (const Case& c : {Case{dir, EISDIR}, Case{fifo, EINVAL}, Case{"/dev/null", EINVAL},
                          Case{path("missing"), ENOENT}}) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(platform::openFileForReading(c.path.c_str()), platform::kInvalidFile);
        EXPECT_EQ(platform::lastError(), c.code);
    }
}

TEST_F(FilesTest, ReadsAFileInPiecesToItsEnd) {
    std::string content;
    for (int i = 0; i < 10000; ++i) content += static_cast<char>(i * 31 % 251);
    put(path("image"), content);
    platform::FileHandle in = platform::openFileForReading(path("image").c_str());
    ASSERT_NE(in, platform::kInvalidFile);
    std::uint64_t size = 0;
    ASSERT_TRUE(platform::fileSize(in, size));
    EXPECT_EQ(size, content.size());

    std::string back;
    char chunk[4096];
    std::uint32_t got = 0;
    for (const std::uint32_t expected : {4096u, 4096u, 1808u, 0u}) {
        ASSERT_TRUE(platform::readFile(in, chunk, sizeof chunk, got));
        EXPECT_EQ(got, expected);
        back.append(chunk, got);
    }
    EXPECT_EQ(back, content);
    platform::closeFile(in);
}

TEST_F(FilesTest, ReportsSizesBeyondFourGibibytes) {
    const std::string big = path("sparse");
    const int fd = open(big.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    const off_t length = (off_t{1} << 32) + 3;
    const bool made = ftruncate(fd, length) == 0;
    close(fd);
    if (!made) GTEST_SKIP() << "no sparse file of 4 GiB here";
    platform::FileHandle in = platform::openFileForReading(big.c_str());
    ASSERT_NE(in, platform::kInvalidFile);
    std::uint64_t size = 0;
    ASSERT_TRUE(platform::fileSize(in, size));
    EXPECT_EQ(size, 4294967299u);
    platform::closeFile(in);
}

TEST_F(FilesTest, CreatingAnewReplacesLinksWithoutWritingThroughThem) {
    const std::string target = path("target");
    const std::string name = path("hyper.pad");
    put(target, "original");

    ASSERT_EQ(symlink(target.c_str(), name.c_str()), 0);
    ASSERT_TRUE(createWith(name, "new"));
    EXPECT_EQ(contentOf(target), "original");
    EXPECT_EQ(contentOf(name), "new");
    struct stat status {};
    ASSERT_EQ(lstat(name.c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));

    ASSERT_EQ(unlink(name.c_str()), 0);
    ASSERT_EQ(link(target.c_str(), name.c_str()), 0);
    ASSERT_TRUE(createWith(name, "newer"));
    EXPECT_EQ(contentOf(target), "original");
    EXPECT_EQ(contentOf(name), "newer");

    ASSERT_EQ(unlink(name.c_str()), 0);
    ASSERT_EQ(symlink(path("ghost").c_str(), name.c_str()), 0);
    ASSERT_TRUE(createWith(name, "x"));
    EXPECT_NE(access(path("ghost").c_str(), F_OK), 0) << "dangling link followed";

    // A longer old file leaves no tail behind.
    ASSERT_TRUE(createWith(name, "a much longer content than before"));
    ASSERT_TRUE(createWith(name, "short"));
    EXPECT_EQ(contentOf(name), "short");
}

TEST_F(FilesTest, CreatingAnewRefusesAReadOnlyFileAndADirectory) {
    const std::string name = path("hyper.pad");
    put(name, "keep me");
    ASSERT_EQ(chmod(name.c_str(), 0444), 0);
    EXPECT_EQ(platform::createFileAnew(name.c_str()), platform::kInvalidFile);
    EXPECT_EQ(platform::lastError(), std::uint32_t{EACCES});
    EXPECT_EQ(contentOf(name), "keep me");

    const std::string sub = path("sub");
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    EXPECT_EQ(platform::createFileAnew(sub.c_str()), platform::kInvalidFile);
    EXPECT_NE(platform::lastError(), 0u);
    struct stat status {};
    EXPECT_EQ(stat(sub.c_str(), &status), 0);
}

TEST_F(FilesTest, CreatingAnewFailsInADirectoryWithoutWritePermission) {
    if (geteuid() == 0) GTEST_SKIP() << "root writes into any directory";
    ASSERT_EQ(chmod(dir.c_str(), 0500), 0);
    EXPECT_EQ(platform::createFileAnew(path("hyper.pad").c_str()), platform::kInvalidFile);
    EXPECT_EQ(platform::lastError(), std::uint32_t{EACCES});
}

TEST_F(FilesTest, DeletesAndKeepsTheLastErrorOnClose) {
    const std::string name = path("old");
    put(name, "x");
    EXPECT_TRUE(platform::deleteFile(name.c_str()));
    EXPECT_NE(access(name.c_str(), F_OK), 0);
    EXPECT_FALSE(platform::deleteFile(name.c_str()));
    EXPECT_EQ(platform::lastError(), std::uint32_t{ENOENT});

    platform::FileHandle out = platform::createFileAnew(name.c_str());
    ASSERT_NE(out, platform::kInvalidFile);
    platform::setLastError(0x20000007u);
    platform::closeFile(out);
    EXPECT_EQ(platform::lastError(), 0x20000007u);
}

}  // namespace

// Small reads come from the read-ahead, large ones go straight through; either
// way the bytes come in file order and the end of the file is reported once.
TEST(Files, MixedReadSizesGiveTheFileInOrder) {
    const std::string path = testing::TempDir() + "/mixed-reads.bin";
    std::string content(100000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 251);
    {
        FILE* out = std::fopen(path.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        std::fwrite(content.data(), 1, content.size(), out);
        std::fclose(out);
    }
    platform::FileHandle file = platform::openFileForReading(path.c_str());
    ASSERT_NE(file, platform::kInvalidFile);
    std::string got;
    const std::uint32_t sizes[] = {1, 3, 10240, 1, 40000, 7, 16384, 1};
    for (std::size_t step = 0;; ++step) {
        char buffer[40000];
        std::uint32_t received = 0;
        ASSERT_TRUE(platform::readFile(file, buffer, sizes[step % std::size(sizes)], received));
        if (received == 0) break;
        got.append(buffer, received);
    }
    platform::closeFile(file);
    std::remove(path.c_str());
    EXPECT_EQ(got, content);
}
