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

// The time limits and the trace's times are one clock: a millisecond read
// between two microsecond reads lies between them (differences taken in
// 32 bits, as the limits take them, so a wrap of millis() does not matter).
TEST(SystemTest, MillisecondsAndMicrosecondsAreOneClock) {
    for (int round = 0; round < 3; ++round) {
        const std::uint64_t beforeUs = platform::monotonicUs();
        const std::uint32_t ms = platform::millis();
        const std::uint64_t afterUs = platform::monotonicUs();
        const auto before = static_cast<std::uint32_t>(beforeUs / 1000u);
        const auto after = static_cast<std::uint32_t>(afterUs / 1000u);
        EXPECT_LE(afterUs - beforeUs, 1'000'000u);  // the microsecond clock runs forwards
        EXPECT_LE(ms - before, after - before) << "millis " << ms << " outside " << before << " to " << after;
        platform::sleepMs(2);
    }
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
