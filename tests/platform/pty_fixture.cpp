#include "pty_fixture.h"
#include "platform/serial_ports.h"

#include <pty.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

void PtyTest::SetUp() {
    char name[256] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0) << std::strerror(errno);
    slavePath = name;
    ASSERT_EQ(setenv("UPDATE_COM1", name, 1), 0);
    for (const char* other : {"UPDATE_COM2", "UPDATE_COM3", "UPDATE_COM4"}) {
        ASSERT_EQ(setenv(other, "/nonexistent/update-test-port", 1), 0);
    }
    ASSERT_EQ(tcgetattr(slave, &original), 0);
}

void PtyTest::TearDown() {
    closeMaster();
    if (slave >= 0) close(slave);
}

platform::PortHandle PtyTest::openConfigured(std::uint32_t baud, bool hardwareHandshake) {
    platform::PortHandle port = platform::openPort(platform::defaultDeviceForComPort(1).c_str());
    EXPECT_NE(port, platform::kInvalidPort) << "error " << platform::lastError();
    if (port != platform::kInvalidPort) {
        EXPECT_TRUE(platform::configureLine(port, baud, hardwareHandshake)) << "error " << platform::lastError();
    }
    return port;
}

termios PtyTest::farEndView() const {
    termios settings{};
    EXPECT_EQ(tcgetattr(master, &settings), 0);
    return settings;
}

void PtyTest::closeMaster() {
    if (master >= 0) close(master);
    master = -1;
}

bool sameSettings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 && cfgetospeed(&a) == cfgetospeed(&b) &&
           cfgetispeed(&a) == cfgetispeed(&b);
}
