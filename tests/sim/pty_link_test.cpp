// The line's flow control as the replay uses it to hold the program in a write.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "pty_link.h"
#include "support/temp_directory.h"

namespace {

// What the far end has written, once it is there.
std::string readAvailable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, 1000) <= 0) return {};
    char buffer[64];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

TEST(PtyLink, HeldOutputStopsTheProgramsWritesAndKeepsWhatItWroteBefore) {
    const test_support::TempDirectory dir{"pty-link-test-"};
    const std::string linkPath = dir.file("com1");
    boxsim::PtyLink link;
    ASSERT_FALSE(link.open(linkPath));
    const int program = ::open(link.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(program, 0);

    ASSERT_EQ(::write(program, "abc", 3), 3);
    link.holdPcOutput(true);
    EXPECT_FALSE(link.pcCanWrite());
    errno = 0;
    EXPECT_EQ(::write(program, "d", 1), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(readAvailable(link.master()), "abc");

    link.holdPcOutput(false);
    EXPECT_TRUE(link.pcCanWrite());
    EXPECT_EQ(::write(program, "d", 1), 1);
    EXPECT_EQ(readAvailable(link.master()), "d");

    // A reply is on the program's side, whole, once the wait returns.
    ASSERT_EQ(::write(link.master(), "..ERROR:", 8), 8);
    link.awaitUnreadOutput(8);
    EXPECT_EQ(link.unreadOutput(), 8);
    char reply[16];
    EXPECT_EQ(::read(program, reply, sizeof reply), 8);
    ::close(program);
}

}  // namespace
