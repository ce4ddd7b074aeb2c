// The built program as a technician starts it, up to the opening of the port.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/bootloader_rows.h"
#include "support/process.h"

namespace {

// Every run points all four ports away from the machine's real devices.
test_support::ProcessOptions safePorts(const test_support::TempDirectory& dir) {
    test_support::ProcessOptions options;
    for (int n = 1; n <= 4; ++n) options.environment["UPDATE_COM" + std::to_string(n)] = dir.file("missing-com" + std::to_string(n));
    options.timeLimit = std::chrono::milliseconds{20000};
    return options;
}

// True once another process holds the device's lock, as the program does while it has the port open.
bool waitUntilLocked(const std::string& device) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) return false;
        bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        close(fd);
        if (held) return true;
        usleep(10 * 1000);
    }
    return false;
}

std::string smallImage() {
    // Length 3, type 7, id 4.12, payload 01 02 FF, byte sum 0x102.
    return std::string("\x00\x00\x00\x03\x07\x00\x04\x00\x0c\x01\x02\xff\x00\x00\x01\x02", 16);
}

TEST(CommandLine, UsageVersionListingAndOptionErrorsGoToTheirStreamsWithTheirExitCodes) {
    test_support::TempDirectory dir;
    auto usage = test_support::run({UPDATE_PROGRAM}, safePorts(dir));
    EXPECT_EQ(usage.exitCode, 1);
    EXPECT_EQ(usage.out, "");
    EXPECT_EQ(usage.err.rfind("Usage: update [-p <int>] [-b] [-l] [-w] <image>\n", 0), 0u);
    EXPECT_EQ(std::count(usage.err.begin(), usage.err.end(), '\n'), 20);

    auto listing = test_support::run({UPDATE_PROGRAM, "-V"}, safePorts(dir));
    EXPECT_EQ(listing.exitCode, 0);
    EXPECT_EQ(listing.out.rfind("update 1.39\n", 0), 0u);
    EXPECT_EQ(std::count(listing.out.begin(), listing.out.end(), '\n'), static_cast<long>(1 + 1 + 2 + test_support::kExpectedRowCount + 1));

    auto invalid = test_support::run({UPDATE_PROGRAM, "-q", "-V"}, safePorts(dir));
    EXPECT_EQ(invalid.exitCode, 1);
    EXPECT_EQ(invalid.err, "-q is an invalid option.\n");
    EXPECT_EQ(invalid.out, "");

    auto port = test_support::run({UPDATE_PROGRAM, "-p", "5", "image.pad"}, safePorts(dir));
    EXPECT_EQ(port.exitCode, 1);
    EXPECT_EQ(port.err, "5is an invalid port number.\n");
}

TEST(CommandLine, AFailingImageEndsBeforeAnyPortIsOpened) {
    test_support::TempDirectory dir;
    test_support::writeWholeFile(dir.file("broken.pad"), smallImage().substr(0, 12));
    auto result = test_support::run({UPDATE_PROGRAM, dir.file("broken.pad")}, safePorts(dir));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, "Checking file... failed! Abort\n");
    EXPECT_EQ(result.err, "");
}

TEST(PortFailure, AMissingDeviceIsReportedWithItsErrorNumber) {
    test_support::TempDirectory dir;
    test_support::writeWholeFile(dir.file("image.pad"), smallImage());
    auto options = safePorts(dir);
    auto result = test_support::run({UPDATE_PROGRAM, "-p", "3", dir.file("image.pad")}, options);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, "Checking file... OK!\n");
    EXPECT_EQ(result.err, "Inititialization of COM-port failed (Error: 2)\n");
}

TEST(PortFailure, ASecondProgramOnAHeldPortIsRefusedAndTheFirstLeavesTheLineAsItFoundIt) {
    test_support::TempDirectory dir;
    test_support::writeWholeFile(dir.file("image.pad"), smallImage());
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios before{};
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    std::string slavePath = ttyname(slave);

    auto options = safePorts(dir);
    options.environment["UPDATE_COM1"] = slavePath;
    // -b: the first program opens the port and waits for a version line that never comes.
    test_support::Background first({UPDATE_PROGRAM, "-b", dir.file("image.pad")}, options);
    ASSERT_TRUE(waitUntilLocked(slavePath));

    auto second = test_support::run({UPDATE_PROGRAM, dir.file("image.pad")}, options);
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_TRUE(second.err == "Inititialization of COM-port failed (Error: 11)\n" ||
                second.err == "Inititialization of COM-port failed (Error: 16)\n")
        << second.err;

    first.signal(SIGINT);
    auto ended = first.wait();
    EXPECT_EQ(ended.signal, SIGINT);
    EXPECT_EQ(ended.out.rfind("Checking file... OK!\n", 0), 0u);
    termios after{};
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    close(master);
    close(slave);
}

}  // namespace
