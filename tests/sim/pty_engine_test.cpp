// The engine's loop over a real pseudo-terminal: what wakes it, a line that
// drops and is plugged back at its path, the time-out; the far end's bytes on
// their way to the program, and when a hung-up line may drop.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <string>

#include "line.h"
#include "pc_port.h"
#include "peer.h"
#include "pty_engine.h"
#include "support/temp_directory.h"

namespace {

using boxsim::PtyEngine;
// Bytes that have crossed the line, as the line engine hands them over.
void arrive(boxsim::PcOutput& output, const std::string& text, std::uint32_t baud) {
    for (const char c : text) output.arrived({static_cast<std::uint8_t>(c), baud, 0});
}

// A far end that pulls the cable once the program has opened the line, with
// a word still unwritten, and is done once the program, opening the path
// again, writes to the new line.
class Unplugger : public PtyEngine::Side {
public:
    Unplugger(PtyEngine& engine, boxsim::PtyLink& link, std::string path)
        : engine_(engine), link_(link), path_(std::move(path)) {}

    Turn turn(std::uint64_t) override {
        ++turns;
        if (!unplugged) {
            if (engine_.opens() == 0) return Turn::Wait;
            oldSlave = link_.slavePath();
            arrive(engine_.output(), "late", 9600);
            const auto error = engine_.hangUp(true);
            countsAfterDrop = engine_.opens() + engine_.closes();
            forgotOutput = engine_.output().delivered();
            unplugged = true;
            if (error) {
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
    bool forgotOutput = false;
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
    EXPECT_TRUE(side.forgotOutput) << "what was not written belongs to the line that went";
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

// A line published in a fresh directory, the program's end opened on it.
struct OpenLine {
    test_support::TempDirectory dir{"pty-engine-test-"};
    boxsim::PtyLink link;
    boxtest::PcPort pc;
    std::unique_ptr<PtyEngine> engine;

    bool open(speed_t speed) {
        if (link.open(dir.file("com1")) || !pc.open(dir.file("com1"), speed)) return false;
        engine = std::make_unique<PtyEngine>(link, dir.file("com1"));
        engine->readWatch();
        return true;
    }
};

TEST(PtyEngineOutput, BytesSentAtAnotherSpeedArriveGarbledOrWaitWhereTheSideHoldsThem) {
    OpenLine line;
    ASSERT_TRUE(line.open(B115200));
    boxsim::PcOutput& output = line.engine->output();
    std::vector<std::uint32_t> heardAt;
    output.onWritten([&](const boxsim::PcOutput::Byte&, std::uint32_t baud) { heardAt.push_back(baud); });

    EXPECT_EQ(output.wakeUs(1000), simline::kNoEvent);
    // Not held, a byte at another speed goes at once, as the program hears it.
    arrive(output, "H", 9600);
    ASSERT_TRUE(output.carry());
    EXPECT_TRUE(output.delivered());
    const std::string garbled(1, static_cast<char>(simline::heard('H', 9600, 115200)));
    EXPECT_EQ(line.pc.readUntil(garbled, 2000), garbled);
    EXPECT_EQ(heardAt, std::vector<std::uint32_t>{115200});

    // Held: nothing goes while the speeds differ, and the look-again comes soon.
    output.holdAtOtherSpeed(true);
    arrive(output, "AB", 9600);
    arrive(output, "C", 115200);
    ASSERT_TRUE(output.carry());
    ASSERT_TRUE(output.firstWaiting());
    EXPECT_EQ(output.firstWaiting()->sentBaud, 9600u);
    EXPECT_EQ(output.firstWaiting()->listeningBaud, 115200u);
    EXPECT_EQ(output.wakeUs(3'000'000), 3'000'000 + boxsim::kLookAgainUs);
    EXPECT_EQ(line.link.unreadOutput(), 0);
    // Once the program listens at 9600 the held bytes go clean, and the one
    // sent at 115200 behind them waits in its turn.
    line.pc.setSpeed(B9600);
    ASSERT_TRUE(output.carry());
    EXPECT_EQ(line.pc.readUntil("AB", 2000), "AB");
    EXPECT_EQ(output.firstWaiting()->sentBaud, 115200u);
    EXPECT_FALSE(output.delivered());
}

TEST(PtyEngineOutput, AFullMasterDoesNotHoldTheLoopAndLosesNothing) {
    OpenLine line;
    ASSERT_TRUE(line.open(B115200));
    boxsim::PcOutput& output = line.engine->output();
    std::string sent;
    for (int i = 0; i < 40000; ++i) sent += static_cast<char>('a' + i % 26);
    arrive(output, sent, 115200);

    // The program reads nothing: the line fills, and each try returns at once.
    for (int i = 0; i < 30; ++i) ASSERT_TRUE(output.carry());
    ASSERT_FALSE(output.delivered()) << "the line took 40000 bytes unread";
    EXPECT_EQ(output.wakeUs(1), 1 + boxsim::kRetryWriteUs);

    std::string got;
    for (int tries = 0; tries < 100000 && got.size() < sent.size(); ++tries) {
        ASSERT_TRUE(output.carry());
        got += line.pc.readUntil("", 10);
    }
    EXPECT_TRUE(output.delivered());
    EXPECT_EQ(got, sent);
}

// The box's last words on an open line; then when the line may drop.
TEST(PtyEngineHangUp, TheLineDropsOnceTheLastWordsAreTakenOrTheProgramMovesOn) {
    auto hungUpAfterWords = [](OpenLine& line) {
        if (!line.open(B115200)) return false;
        arrive(line.engine->output(), "BYE", 115200);
        // Not before the words are written.
        if (line.engine->readyToHangUp(0)) return false;
        line.engine->output().carry();
        return line.engine->output().delivered();
    };
    const std::vector<std::pair<const char*, std::function<void(boxtest::PcPort&)>>> goesOn{
        {"reads them", [](boxtest::PcPort& pc) { EXPECT_EQ(pc.readUntil("BYE", 2000), "BYE"); }},
        {"sends more without reading them", [](boxtest::PcPort& pc) { pc.write("x"); }},
        {"changes the speed without reading them", [](boxtest::PcPort& pc) { pc.setSpeed(B9600); }}};
    for (const auto& [what, action] : goesOn) {
        OpenLine line;
        ASSERT_TRUE(hungUpAfterWords(line));
        EXPECT_FALSE(line.engine->readyToHangUp(1)) << "the last words are unread";
        action(line.pc);
        EXPECT_TRUE(line.engine->readyToHangUp(2)) << "the program " << what;
    }
    {
        // Where the program speaks next, having read is not enough.
        OpenLine line;
        ASSERT_TRUE(hungUpAfterWords(line));
        EXPECT_EQ(line.pc.readUntil("BYE", 2000), "BYE");
        EXPECT_FALSE(line.engine->readyToHangUp(1, true));
        EXPECT_TRUE(line.engine->readyToHangUp(2, true, true)) << "the far end holds bytes it sent since";
    }
}

}  // namespace
