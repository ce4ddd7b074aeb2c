// The Windows file, clock and last-error functions on a real file system.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

class Win32Files : public ::testing::Test {
protected:
    void SetUp() override {
        char temp[MAX_PATH];
        ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
        char dir[MAX_PATH];
        ASSERT_NE(GetTempFileNameA(temp, "upd", 0, dir), 0u);
        // GetTempFileNameA made a file under that unique name; a directory takes its place.
        DeleteFileA(dir);
        ASSERT_TRUE(CreateDirectoryA(dir, nullptr));
        dir_ = dir;
    }
    void TearDown() override {
        for (const std::string& name : created_) DeleteFileA(name.c_str());
        RemoveDirectoryA(dir_.c_str());
    }
    std::string path(const char* name) {
        std::string full = dir_ + "\\" + name;
        created_.push_back(full);
        return full;
    }
    static void put(const std::string& file, const std::string& content) {
        HANDLE h = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
        CloseHandle(h);
    }
    static std::string get(const std::string& file) {
        platform::FileHandle f = platform::openFileForReading(file.c_str());
        if (f == platform::kInvalidFile) return "<cannot open>";
        std::string content;
        char buffer[4096];
        std::uint32_t got = 0;
        while (platform::readFile(f, buffer, sizeof buffer, got) && got > 0) content.append(buffer, got);
        platform::closeFile(f);
        return content;
    }

    std::string dir_;
    std::vector<std::string> created_;
};

TEST_F(Win32Files, WrittenFileReadsBackWithItsSize) {
    std::string name = path("image.bin");
    std::string content;
    for (int i = 0; i < 300000; ++i) content.push_back(static_cast<char>(i * 7 + i / 251));
    platform::FileHandle f = platform::createFileAnew(name.c_str());
    ASSERT_NE(f, platform::kInvalidFile);
    ASSERT_TRUE(platform::writeFile(f, content.data(), 100000));
    ASSERT_TRUE(platform::writeFile(f, content.data() + 100000, static_cast<std::uint32_t>(content.size() - 100000)));
    platform::closeFile(f);

    platform::FileHandle r = platform::openFileForReading(name.c_str());
    ASSERT_NE(r, platform::kInvalidFile);
    std::uint64_t size = 0;
    ASSERT_TRUE(platform::fileSize(r, size));
    EXPECT_EQ(size, content.size());
    platform::closeFile(r);
    EXPECT_EQ(get(name), content);
}

TEST_F(Win32Files, CreatingAnewReplacesALongerFileWhole) {
    std::string name = path("hyper.pad");
    put(name, std::string(5000, 'x'));
    platform::FileHandle f = platform::createFileAnew(name.c_str());
    ASSERT_NE(f, platform::kInvalidFile);
    ASSERT_TRUE(platform::writeFile(f, "new", 3));
    platform::closeFile(f);
    EXPECT_EQ(get(name), "new");
}

TEST_F(Win32Files, CreatingAnewNeverWritesThroughAHardLink) {
    std::string target = path("precious.txt");
    std::string name = path("hyper.pad");
    put(target, "keep me");
    ASSERT_TRUE(CreateHardLinkA(name.c_str(), target.c_str(), nullptr)) << GetLastError();

    platform::FileHandle f = platform::createFileAnew(name.c_str());
    ASSERT_NE(f, platform::kInvalidFile);
    ASSERT_TRUE(platform::writeFile(f, "payload", 7));
    platform::closeFile(f);
    EXPECT_EQ(get(name), "payload");
    EXPECT_EQ(get(target), "keep me");
}

TEST_F(Win32Files, CreatingAnewNeverWritesThroughASymbolicLink) {
    std::string target = path("precious.txt");
    std::string name = path("hyper.pad");
    put(target, "keep me");
    if (!CreateSymbolicLinkA(name.c_str(), target.c_str(), 0)) GTEST_SKIP() << "no symbolic links here: " << GetLastError();

    platform::FileHandle f = platform::createFileAnew(name.c_str());
    ASSERT_NE(f, platform::kInvalidFile);
    ASSERT_TRUE(platform::writeFile(f, "payload", 7));
    platform::closeFile(f);
    EXPECT_EQ(get(name), "payload");
    EXPECT_EQ(get(target), "keep me");
}

TEST_F(Win32Files, CreatingOverADirectoryFailsAndLeavesIt) {
    std::string name = dir_ + "\\sub";
    ASSERT_TRUE(CreateDirectoryA(name.c_str(), nullptr));
    EXPECT_EQ(platform::createFileAnew(name.c_str()), platform::kInvalidFile);
    EXPECT_NE(platform::lastError(), 0u);
    EXPECT_EQ(GetFileAttributesA(name.c_str()) & FILE_ATTRIBUTE_DIRECTORY, static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    RemoveDirectoryA(name.c_str());
}

TEST_F(Win32Files, OnlyFilesOnADiskOpenForReading) {
    EXPECT_EQ(platform::openFileForReading(dir_.c_str()), platform::kInvalidFile);
    EXPECT_EQ(platform::openFileForReading("NUL"), platform::kInvalidFile);
    EXPECT_EQ(platform::lastError(), static_cast<std::uint32_t>(ERROR_BAD_FILE_TYPE));
    EXPECT_EQ(platform::openFileForReading(path("missing.pad").c_str()), platform::kInvalidFile);
    EXPECT_EQ(platform::lastError(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Win32Files, ReadersShareTheFile) {
    std::string name = path("image.bin");
    put(name, "abc");
    platform::FileHandle first = platform::openFileForReading(name.c_str());
    platform::FileHandle second = platform::openFileForReading(name.c_str());
    EXPECT_NE(first, platform::kInvalidFile);
    EXPECT_NE(second, platform::kInvalidFile);
    platform::closeFile(first);
    platform::closeFile(second);
}

TEST_F(Win32Files, DeleteRemovesAndReportsAMissingFile) {
    std::string name = path("hyper.pad");
    put(name, "x");
    EXPECT_TRUE(platform::deleteFile(name.c_str()));
    EXPECT_EQ(GetFileAttributesA(name.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(platform::deleteFile(name.c_str()));
    EXPECT_EQ(platform::lastError(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Win32Files, ClosingKeepsTheLastError) {
    std::string name = path("image.bin");
    put(name, "abc");
    platform::FileHandle f = platform::openFileForReading(name.c_str());
    ASSERT_NE(f, platform::kInvalidFile);
    platform::setLastError(0x20000002u);
    platform::closeFile(f);
    EXPECT_EQ(platform::lastError(), 0x20000002u);
}

// The console, the C runtime and other system calls change the system's error
// value even when they succeed; the code of the failure must reach its report.
TEST_F(Win32Files, AFailuresCodeOutlivesOutputAndOtherSystemCalls) {
    EXPECT_EQ(platform::openFileForReading(path("missing.pad").c_str()), platform::kInvalidFile);
    std::fputs("Checking file...", stdout);
    std::fflush(stdout);
    std::fputs(" failed! Abort\n", stderr);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(platform::lastError(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));

    platform::setLastError(0x20000005u);
    std::fputs("\n", stdout);
    GetTickCount();
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(platform::lastError(), 0x20000005u);
}

TEST(Win32Clock, SleepAdvancesTheMillisecondClock) {
    std::uint32_t start = platform::millis();
    platform::sleepMs(120);
    std::uint32_t elapsed = platform::millis() - start;
    EXPECT_GE(elapsed, 110u);
    EXPECT_LT(elapsed, 1000u);
}

TEST(Win32Clock, LocalTimeIsTheSystemsLocalTime) {
    SYSTEMTIME before;
    GetLocalTime(&before);
    platform::LocalTime now = platform::localTime();
    // Within the same minute in all but the rarest runs; the fields must not be shifted.
    EXPECT_EQ(now.year, before.wYear);
    EXPECT_EQ(now.month, before.wMonth);
    EXPECT_EQ(now.day, before.wDay);
    EXPECT_EQ(now.hour, before.wHour);
    EXPECT_GE(now.second, 0);
    EXPECT_LE(now.second, 59);
}

TEST(Win32Clock, BeepLeavesTheLastError) {
    platform::setLastError(0x20000007u);
    platform::beep(1000, 1);
    EXPECT_EQ(platform::lastError(), 0x20000007u);
}

}  // namespace

namespace {

// A caller that missed a failed open gets a failure, not a crash.
TEST(Win32Handles, InvalidHandlesFailWithoutTouchingAnything) {
    std::uint32_t n = 7;
    char buffer[4];
    EXPECT_FALSE(platform::readFile(platform::kInvalidFile, buffer, sizeof buffer, n));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(platform::lastError(), static_cast<std::uint32_t>(ERROR_INVALID_HANDLE));
    std::uint64_t size = 0;
    EXPECT_FALSE(platform::fileSize(platform::kInvalidFile, size));
    EXPECT_FALSE(platform::writeFile(platform::kInvalidFile, "x", 1));
    platform::closeFile(platform::kInvalidFile);

    EXPECT_FALSE(platform::configureLine(platform::kInvalidPort, 115200, true));
    EXPECT_EQ(platform::lastError(), static_cast<std::uint32_t>(ERROR_INVALID_HANDLE));
    std::uint32_t sent = 9;
    EXPECT_FALSE(platform::writePort(platform::kInvalidPort, "x", 1, sent));
    EXPECT_EQ(sent, 0u);
    n = 7;
    EXPECT_FALSE(platform::readPort(platform::kInvalidPort, buffer, sizeof buffer, n));
    EXPECT_EQ(n, 0u);
    platform::waitForInput(platform::kInvalidPort, 10);
    platform::clearErrors(platform::kInvalidPort);
    platform::closePort(platform::kInvalidPort);
}

}  // namespace
