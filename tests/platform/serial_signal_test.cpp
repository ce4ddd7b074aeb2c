// Ending the program with a signal while a port is open must leave the line as
// it was found and end the process the way that signal normally does.
#include "pty_fixture.h"
#include "platform/serial_ports.h"

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

namespace {

class SignalTest : public PtyTest, public ::testing::WithParamInterface<int> {};

[[noreturn]] void runChild(int readyPipe) {
    // The test runner may have been started with these ignored (a background job).
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) std::signal(s, SIG_DFL);
    alarm(10);  // a child that survives ends by SIGALRM, which fails the test
    platform::PortHandle port = platform::openPort(platform::defaultDeviceForComPort(1).c_str());
    if (port == platform::kInvalidPort || !platform::configureLine(port, 115200, true)) _exit(3);
    if (write(readyPipe, "r", 1) != 1) _exit(4);
    for (;;) pause();
}

TEST_P(SignalTest, RestoresTheLineAndEndsWithTheSignal) {
    const int signalNumber = GetParam();
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipeEnds[0]);
        runChild(pipeEnds[1]);
    }
    close(pipeEnds[1]);
    char ready = 0;
    const bool childReady = read(pipeEnds[0], &ready, 1) == 1;
    close(pipeEnds[0]);
    if (childReady) {
        EXPECT_FALSE(sameSettings(farEndView(), original));
        kill(child, signalNumber);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(childReady) << "child status " << status;
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), signalNumber);
    EXPECT_TRUE(sameSettings(farEndView(), original));
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalTest, ::testing::Values(SIGINT, SIGTERM, SIGHUP));

}  // namespace
