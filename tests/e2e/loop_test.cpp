// Loop mode and the bell end to end: one image to box after box on the same
// port, one character of standard input per prompt, and -w ringing the
// controlling terminal only.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>

#include "e2e/box_session.h"

namespace {

using e2e::BoxSession;
using e2e::SessionOptions;

const std::string kImage = e2e::paddedImage(e2e::samplePayload(3000, 11), 7);
const std::string kPrompt = "Update another box (y/n)? [y]\n";

// What one box costs on standard output, from the empty line pair after the
// port is opened to the loop prompt.
const std::string kOneBox = "\n\nBootloader version 4.12 accessed!\nDownload file... 100 % transfered       " +
                            std::string(24, '\b') + " Done!\nProgramming the flash memory... Done!" +
                            std::string(20, ' ') +
                            "\n" + e2e::successBanner();

std::string describe(const BoxSession& s) {
    return "update exit " + std::to_string(s.update.exitCode) + "\nout: " + s.update.out + "\nerr: " + s.update.err +
           "\nboxsim: " + s.boxsim.out + s.boxsim.err;
}

SessionOptions loop(int boxes, const std::string& input, std::vector<std::string> updateArgs = {"-l", "image.pad"}) {
    SessionOptions options;
    options.boxsimArgs = {"--boxes", std::to_string(boxes), "--programming-ms", "100", "--timeout", "60",
                          "--expect", "flashed"};
    options.updateArgs = std::move(updateArgs);
    options.files["image.pad"] = kImage;
    options.update.input = input;
    options.update.timeLimit = std::chrono::milliseconds{60000};
    return options;
}

std::string repeated(const std::string& text, int times) {
    std::string result;
    for (int i = 0; i < times; ++i) result += text;
    return result;
}

TEST(LoopMode, OneCharacterPerPromptAndTheSameImageToEveryBox) {
    const auto runs = e2e::runSessions({
        loop(3, "yyn"),
        // "y" and Enter: the line end answers the second prompt, and goes on.
        loop(3, "y\nn"),
        // Only a lower-case "n" ends the loop.
        loop(2, "Nn"),
    });
    const int boxes[] = {3, 3, 2};
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const BoxSession& run = runs[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(run.update.exitCode, 0) << describe(run);
        EXPECT_EQ(run.update.out, "Checking file... OK!\n" + repeated(kOneBox + kPrompt, boxes[i]));
        EXPECT_EQ(run.update.err, "");
        EXPECT_EQ(run.boxsim.exitCode, 0) << describe(run);
        ASSERT_EQ(run.flashedImages.size(), static_cast<std::size_t>(boxes[i])) << describe(run);
        for (const auto& flashed : run.flashedImages) EXPECT_TRUE(e2e::sameBytes(flashed, kImage));
    }
}

TEST(LoopMode, AtTheEndOfInputEveryPromptGoesOnUntilNoBoxIsThere) {
    test_support::TempDirectory dir;
    const BoxSession run = e2e::runSession(dir, loop(3, ""));
    EXPECT_EQ(run.boxsim.exitCode, 0) << describe(run);
    ASSERT_EQ(run.flashedImages.size(), 3u) << describe(run);
    for (const auto& flashed : run.flashedImages) EXPECT_TRUE(e2e::sameBytes(flashed, kImage));

    // The fourth round finds the line gone: the reopening fails, or, when the
    // emulator has not yet let go of it, the keyword cannot be written.
    EXPECT_EQ(run.update.exitCode, 1) << describe(run);
    EXPECT_FALSE(run.update.timedOut);
    const std::string threeBoxes = "Checking file... OK!\n" + repeated(kOneBox + kPrompt, 3);
    EXPECT_TRUE(run.update.out == threeBoxes || run.update.out == threeBoxes + "\n\n") << run.update.out;
    EXPECT_TRUE(std::regex_match(run.update.err,
                                 std::regex(R"((Inititialization of COM-port failed \(Error: \d+\)|WriteFile error: \d+)\n)")))
        << run.update.err;
}

// A pseudo-terminal that the program gets as its controlling terminal.
class Terminal {
public:
    Terminal() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        const char* name = ptsname(master_);
        if (name == nullptr) return;
        slavePath_ = name;
        // Held open here too, so nothing written is lost when the program ends.
        slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~Terminal() {
        if (slave_ >= 0) close(slave_);
        if (master_ >= 0) close(master_);
    }
    const std::string& slavePath() const { return slavePath_; }
    std::string written() const {
        std::string text;
        char buffer[256];
        for (ssize_t n; (n = read(master_, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
        return text;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

TEST(Bell, RingsTheControllingTerminalOncePerBoxAndNowhereElse) {
    // On Windows the bell is Beep, which Wine returns from at once, silently.
    if (e2e::underWine()) GTEST_SKIP() << "the controlling terminal's bell is the POSIX program's";
    Terminal withBell;
    Terminal withoutBell;
    ASSERT_FALSE(withBell.slavePath().empty());
    ASSERT_FALSE(withoutBell.slavePath().empty());
    SessionOptions ringing = loop(2, "yn", {"-l", "-w", "image.pad"});
    ringing.update.controllingTerminal = withBell.slavePath();
    SessionOptions quiet = loop(1, "", {"image.pad"});
    quiet.update.controllingTerminal = withoutBell.slavePath();
    const auto runs = e2e::runSessions({ringing, quiet});

    EXPECT_EQ(runs[0].update.exitCode, 0) << describe(runs[0]);
    EXPECT_EQ(runs[0].update.out, "Checking file... OK!\n" + repeated(kOneBox + kPrompt, 2));
    EXPECT_EQ(runs[0].update.err, "");
    EXPECT_EQ(withBell.written(), "\a\a");

    EXPECT_EQ(runs[1].update.exitCode, 0) << describe(runs[1]);
    EXPECT_EQ(runs[1].update.out, "Checking file... OK!\n" + kOneBox);
    EXPECT_EQ(withoutBell.written(), "");
}

}  // namespace
