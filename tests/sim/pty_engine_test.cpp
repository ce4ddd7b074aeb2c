// The engine's loop over a real pseudo-terminal: what wakes it, a line that
// drops and is plugged back at its path, the time-out.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "peer.h"
#include "pty_engine.h"
#include "support/temp_directory.h"

namespace {

using boxsim::PtyEngine;

// A far end that pulls the cable once the program has opened the line, and
// is done once the program, opening the path again, writes to the new line.
class Unplugger : public PtyEngine::Side {
public:
    Unplugger(PtyEngine& engine, boxsim::PtyLink& link, std::string path)
        : engine_(engine), link_(link), path_(std::move(path)) {}

    Turn turn(std::uint64_t) override {
        ++turns;
        if (!unplugged) {
            if (engine_.opens() == 0) return Turn::Wait;
            oldSlave = link_.slavePath();
            engine_.dropLine();
            countsAfterDrop = engine_.opens() + engine_.closes();
            unplugged = true;
            if (const auto error = engine_.plugBack()) {
                problem = *error;
                return Turn::Over;
            }
            newSlave = link_.slavePath();
            program = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (program < 0 || ::write(program, "x", 1) != 1) problem = "cannot use the line plugged back in";
            return problem.empty() ? Turn::Again : Turn::Over;
        }
        char byte = 0;
        if (engine_.opens() > 0 && ::read(link_.master(), &byte, 1) == 1) {
            received = byte;
            return Turn::Over;
        }
        return Turn::Wait;
    }
    int status() const override { return received == 'x' ? 7 : 8; }
    int stopped(bool, std::uint64_t) override { return 3; }
    std::uint64_t wakeUs(std::uint64_t) const override { return simline::kNoEvent; }
    bool wantsInput(std::uint64_t) const override { return unplugged; }

    int turns = 0;
    bool unplugged = false;
    int countsAfterDrop = -1;
    int program = -1;
    char received = 0;
    std::string oldSlave, newSlave, problem;

private:
    PtyEngine& engine_;
    boxsim::PtyLink& link_;
    std::string path_;
};

TEST(PtyEngine, ADroppedLineIsPluggedBackAtItsPathAndWakesTheLoopWithTheProgramsBytes) {
    const test_support::TempDirectory dir{"pty-engine-test-"};
    const std::string path = dir.file("com1");
    boxsim::PtyLink link;
    ASSERT_FALSE(link.open(path));
    ASSERT_GE(link.watch(), 0) << "this system cannot watch the line";
    const int first = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(first, 0);

    PtyEngine engine(link, path);
    Unplugger side(engine, link, path);
    EXPECT_EQ(engine.run(side, 30), 7) << side.problem;
    EXPECT_EQ(side.countsAfterDrop, 0);
    EXPECT_NE(side.newSlave, side.oldSlave);
    EXPECT_EQ(side.received, 'x');
    // The program still on the old line meets a dead one.
    errno = 0;
    EXPECT_EQ(::write(first, "y", 1), -1);
    EXPECT_EQ(errno, EIO);
    ::close(first);
    if (side.program >= 0) ::close(side.program);
}

TEST(PtyEngine, TheTimeOutEndsARunThatWaitsForever) {
    const test_support::TempDirectory dir{"pty-engine-test-"};
    boxsim::PtyLink link;
    ASSERT_FALSE(link.open(dir.file("com1")));
    PtyEngine engine(link, dir.file("com1"));
    Unplugger side(engine, link, dir.file("com1"));  // nobody opens the line
    EXPECT_EQ(engine.run(side, 0), 3);
    EXPECT_EQ(side.turns, 1);
}

}  // namespace
