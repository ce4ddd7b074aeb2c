#include "platform/platform.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

TEST(SystemTest, SleepLastsAtLeastAsLongAsAsked) {
    const std::uint32_t start = platform::millis();
    platform::sleepMs(60);
    const std::uint32_t elapsed = platform::millis() - start;
    EXPECT_GE(elapsed, 60u);
    EXPECT_LT(elapsed, 5000u);
}

// Standard output may be a log the user keeps: the bell must never land there.
TEST(SystemTest, BeepWritesNothingToStandardOutputOrError) {
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setsid();  // no controlling terminal: the bell has nowhere to go
        dup2(pipeEnds[1], 1);
        dup2(pipeEnds[1], 2);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        platform::beep(1000, 500);
        _exit(0);
    }
    close(pipeEnds[1]);
    char got[8];
    const ssize_t n = read(pipeEnds[0], got, sizeof got);
    close(pipeEnds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(n, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
