#include "pty_fixture.h"
#include "platform/serial_ports.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Reads from the master until `count` bytes came or two seconds of silence.
std::vector<unsigned char> readFromMaster(int master, std::size_t count) {
    std::vector<unsigned char> got;
    unsigned char chunk[4096];
    while (got.size() < count) {
        pollfd entry{master, POLLIN, 0};
        if (poll(&entry, 1, 2000) <= 0) break;
        const ssize_t n = read(master, chunk, sizeof chunk);
        if (n <= 0) break;
        got.insert(got.end(), chunk, chunk + n);
    }
    return got;
}

TEST_F(PtyTest, ConfiguresARawEightBitLineWithAndWithoutHandshake) {
    platform::PortHandle port = platform::openPort(platform::defaultDeviceForComPort(1).c_str());
    ASSERT_NE(port, platform::kInvalidPort) << platform::lastError();
    struct Case {
        std::uint32_t baud;
        speed_t code;
        bool handshake;
    };
    for (const Case c : {Case{115200, B115200, true}, Case{38400, B38400, false}, Case{9600, B9600, true}}) {
        SCOPED_TRACE(c.baud);
        ASSERT_TRUE(platform::configureLine(port, c.baud, c.handshake)) << platform::lastError();
        const termios t = farEndView();
        EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t{CS8});
        EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
        EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t{CLOCAL | CREAD});
        EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, c.handshake);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ISTRIP | ICRNL | INLCR | IGNCR | PARMRK | INPCK | BRKINT), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 0);
        EXPECT_EQ(cfgetospeed(&t), c.code);
        EXPECT_EQ(cfgetispeed(&t), c.code);
        std::uint32_t baud = 0;
        ASSERT_TRUE(platform::getBaudRate(port, baud));
        EXPECT_EQ(baud, c.baud);
    }
    platform::closePort(port);
}

TEST_F(PtyTest, SpeedChangeTouchesNothingElseAndRefusesOddSpeeds) {
    platform::PortHandle port = openConfigured(115200, true);
    ASSERT_NE(port, platform::kInvalidPort);
    const termios before = farEndView();

    ASSERT_TRUE(platform::setBaudRate(port, 9600));
    termios after = farEndView();
    EXPECT_EQ(cfgetospeed(&after), B9600);
    cfsetispeed(&after, B115200);
    cfsetospeed(&after, B115200);
    EXPECT_TRUE(sameSettings(before, after));

    for (std::uint32_t odd : {0u, 57600u, 115201u}) {
        EXPECT_FALSE(platform::setBaudRate(port, odd));
        EXPECT_EQ(platform::lastError(), std::uint32_t{EINVAL});
        EXPECT_FALSE(platform::configureLine(port, odd, false));
        EXPECT_EQ(platform::lastError(), std::uint32_t{EINVAL});
    }
    std::uint32_t baud = 0;
    ASSERT_TRUE(platform::getBaudRate(port, baud));
    EXPECT_EQ(baud, 9600u);
    platform::closePort(port);
}

TEST_F(PtyTest, CarriesEveryByteValueUnchangedBothWays) {
    platform::PortHandle port = openConfigured(115200, false);
    ASSERT_NE(port, platform::kInvalidPort);
    std::vector<unsigned char> all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);

    std::uint32_t sent = 0;
    ASSERT_TRUE(platform::writePort(port, all.data(), 256, sent));
    EXPECT_EQ(sent, 256u);
    EXPECT_EQ(readFromMaster(master, 256), all);

    ASSERT_EQ(write(master, all.data(), all.size()), 256);
    std::vector<unsigned char> got;
    while (got.size() < 256) {
        platform::waitForInput(port, 2000);
        unsigned char chunk[300];
        std::uint32_t n = 0;
        ASSERT_TRUE(platform::readPort(port, chunk, sizeof chunk, n));
        if (n == 0) break;
        got.insert(got.end(), chunk, chunk + n);
    }
    EXPECT_EQ(got, all);
    platform::closePort(port);
}

TEST_F(PtyTest, ClosingPutsTheOldSettingsBackAndKeepsTheLastError) {
    platform::PortHandle port = openConfigured(115200, true);
    ASSERT_NE(port, platform::kInvalidPort);
    ASSERT_FALSE(sameSettings(farEndView(), original));
    platform::setLastError(0x20000005u);
    platform::closePort(port);
    EXPECT_EQ(platform::lastError(), 0x20000005u);
    EXPECT_TRUE(sameSettings(farEndView(), original));
}

TEST_F(PtyTest, OpensAPortOnlyOnce) {
    platform::PortHandle port = platform::openPort(platform::defaultDeviceForComPort(1).c_str());
    ASSERT_NE(port, platform::kInvalidPort);
    EXPECT_EQ(platform::openPort(platform::defaultDeviceForComPort(1).c_str()), platform::kInvalidPort);
    // Root passes TIOCEXCL and meets the lock instead.
    const std::uint32_t code = platform::lastError();
    EXPECT_TRUE(code == EBUSY || code == EWOULDBLOCK) << code;

    if (geteuid() != 0) {
        // Programs that do not lock are kept out too.
        const int other = open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_LT(other, 0);
        EXPECT_EQ(errno, EBUSY);
        if (other >= 0) close(other);
    }
    platform::closePort(port);

    const int other = open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(other, 0) << "closed port still exclusive";
    if (other >= 0) close(other);
    port = platform::openPort(platform::defaultDeviceForComPort(1).c_str());
    EXPECT_NE(port, platform::kInvalidPort);
    platform::closePort(port);
}

TEST_F(PtyTest, RespectsAnotherProgramsLock) {
    const int other = open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(platform::openPort(platform::defaultDeviceForComPort(1).c_str()), platform::kInvalidPort);
    EXPECT_EQ(platform::lastError(), std::uint32_t{EWOULDBLOCK});
    close(other);
}

TEST_F(PtyTest, ReportsWhyAPortCannotBeOpened) {
    ASSERT_EQ(setenv("UPDATE_COM2", "/nonexistent/update-test-port", 1), 0);
    EXPECT_EQ(platform::openPort(platform::defaultDeviceForComPort(2).c_str()), platform::kInvalidPort);
    EXPECT_EQ(platform::lastError(), std::uint32_t{ENOENT});

    // A name too long to hold is refused, not cut short into some other device.
    ASSERT_EQ(setenv("UPDATE_COM3", (slavePath + std::string(5000, '/')).c_str(), 1), 0);
    EXPECT_EQ(platform::openPort(platform::defaultDeviceForComPort(3).c_str()), platform::kInvalidPort);
    EXPECT_EQ(platform::lastError(), std::uint32_t{ENAMETOOLONG});

    EXPECT_EQ(platform::defaultDeviceForComPort(0), "");
    EXPECT_EQ(platform::defaultDeviceForComPort(5), "");

    if (geteuid() == 0) GTEST_SKIP() << "root opens the device whatever its mode";
    struct stat status {};
    ASSERT_EQ(stat(slavePath.c_str(), &status), 0);
    ASSERT_EQ(chmod(slavePath.c_str(), 0), 0);
    EXPECT_EQ(platform::openPort(platform::defaultDeviceForComPort(1).c_str()), platform::kInvalidPort);
    EXPECT_EQ(platform::lastError(), std::uint32_t{EACCES});
    chmod(slavePath.c_str(), status.st_mode & 07777);
}

TEST_F(PtyTest, ReadsWhatHasArrivedWithoutWaiting) {
    platform::PortHandle port = openConfigured(38400, true);
    ASSERT_NE(port, platform::kInvalidPort);
    char buffer[64];
    std::uint32_t got = 99;
    const auto start = Clock::now();
    EXPECT_TRUE(platform::readPort(port, buffer, sizeof buffer, got));
    EXPECT_EQ(got, 0u);
    EXPECT_LT(msSince(start), 200);

    ASSERT_EQ(write(master, "abc", 3), 3);
    platform::waitForInput(port, 2000);
    EXPECT_TRUE(platform::readPort(port, buffer, sizeof buffer, got));
    EXPECT_EQ(std::string(buffer, got), "abc");
    platform::closePort(port);
}

TEST_F(PtyTest, WaitForInputEndsWithTheFirstByteOrTheDeadline) {
    platform::PortHandle port = openConfigured(115200, true);
    ASSERT_NE(port, platform::kInvalidPort);
    auto start = Clock::now();
    platform::waitForInput(port, 150);
    EXPECT_GE(msSince(start), 149);

    std::thread sender([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(write(master, "x", 1), 1);
    });
    start = Clock::now();
    platform::waitForInput(port, platform::kWaitForever);
    EXPECT_GE(msSince(start), 90);
    sender.join();
    char byte = 0;
    std::uint32_t got = 0;
    EXPECT_TRUE(platform::readPort(port, &byte, 1, got));
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(byte, 'x');
    platform::closePort(port);
}

TEST_F(PtyTest, AHungUpLineFailsEveryCallPromptly) {
    platform::PortHandle port = openConfigured(115200, true);
    ASSERT_NE(port, platform::kInvalidPort);
    closeMaster();

    const auto start = Clock::now();
    platform::waitForInput(port, platform::kWaitForever);
    platform::waitForInput(port, 10000);
    EXPECT_LT(msSince(start), 2000);

    char buffer[16];
    std::uint32_t count = 99;
    EXPECT_FALSE(platform::readPort(port, buffer, sizeof buffer, count));
    EXPECT_EQ(platform::lastError(), platform::kErrorOperationAborted);
    EXPECT_EQ(count, 0u);

    for (const std::uint32_t constant : {0u, 10u}) {
        ASSERT_TRUE(platform::setWriteTimeouts(port, constant == 0 ? 0 : 1, constant));
        EXPECT_FALSE(platform::writePort(port, "hello", 5, count));
        EXPECT_EQ(platform::lastError(), std::uint32_t{EIO});
        EXPECT_EQ(count, 0u);
    }
    platform::closePort(port);
}

TEST_F(PtyTest, AWriteThatTheLineDoesNotTakeEndsWithTheCounterTimeout) {
    platform::PortHandle port = openConfigured(115200, true);
    ASSERT_NE(port, platform::kInvalidPort);
    std::vector<unsigned char> lots(1u << 20, 0x55);
    std::uint32_t sent = 0;

    ASSERT_TRUE(platform::setWriteTimeouts(port, 0, 50));
    EXPECT_FALSE(platform::writePort(port, lots.data(), static_cast<std::uint32_t>(lots.size()), sent));
    EXPECT_EQ(platform::lastError(), platform::kErrorCounterTimeout);
    EXPECT_GT(sent, 0u);  // the line took what fit
    EXPECT_LT(sent, lots.size());

    // Now full: a short write gets nothing through in 1 ms per byte plus 10 ms.
    ASSERT_TRUE(platform::setWriteTimeouts(port, 1, 10));
    const auto start = Clock::now();
    EXPECT_FALSE(platform::writePort(port, lots.data(), 64, sent));
    EXPECT_EQ(platform::lastError(), platform::kErrorCounterTimeout);
    EXPECT_EQ(sent, 0u);
    EXPECT_GE(msSince(start), 73);
    platform::closePort(port);
}

double threadCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

TEST_F(PtyTest, AWriteWithoutTimeOutWaitsForASlowReaderWithoutSpinning) {
    platform::PortHandle port = openConfigured(115200, false);
    ASSERT_NE(port, platform::kInvalidPort);
    std::vector<unsigned char> data(1u << 20);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 + i / 251);

    std::vector<unsigned char> received;
    std::thread reader([&] {
        unsigned char chunk[16384];
        while (received.size() < data.size()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            pollfd entry{master, POLLIN, 0};
            if (poll(&entry, 1, 5000) <= 0) break;
            const ssize_t n = read(master, chunk, sizeof chunk);
            if (n <= 0) break;
            received.insert(received.end(), chunk, chunk + n);
        }
    });
    const auto start = Clock::now();
    const double cpuBefore = threadCpuMs();
    std::uint32_t sent = 0;
    EXPECT_TRUE(platform::writePort(port, data.data(), static_cast<std::uint32_t>(data.size()), sent))
        << platform::lastError();
    const double cpuUsed = threadCpuMs() - cpuBefore;
    const long long wall = msSince(start);
    reader.join();
    EXPECT_EQ(sent, data.size());
    EXPECT_TRUE(received == data);
    EXPECT_LT(cpuUsed, 0.5 * static_cast<double>(wall)) << "writer busy for " << cpuUsed << " of " << wall << " ms";
    platform::closePort(port);
}

}  // namespace
