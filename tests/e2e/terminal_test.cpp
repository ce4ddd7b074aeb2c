// What a person at a terminal sees beyond the program's fixed messages, and
// that none of it reaches a pipe: the program runs once with its standard
// streams on a pseudo-terminal, and once through pipes.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e/box_session.h"
#include "support/process.h"
#include "support/image_bytes.h"
#include "support/payload.h"

namespace {

struct Response {
    std::string after;   // once the terminal has shown this text...
    std::string input;   // ...this is typed (Ctrl-C as "\x03")
};

struct TerminalRun {
    std::string shown;  // what the terminal showed, its line ends as "\n"
    int exitCode = -1;
    int signal = 0;
    std::string boxsimOut;
};

// The terminal turns every line end into CR LF.
std::string withPlainLineEnds(const std::string& raw) {
    std::string plain;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
        plain += raw[i];
    }
    return plain;
}

// update with all three standard streams on one terminal, its controlling
// terminal, against boxsim on COM1 (no boxsim: COM1 leads nowhere).
TerminalRun runOnTerminal(const test_support::TempDirectory& dir, const std::vector<std::string>& boxsimArgs,
                          const std::vector<std::string>& updateArgs, std::vector<Response> responses = {}) {
    TerminalRun run;
    const std::string link = dir.file("com1");
    std::unique_ptr<test_support::Background> boxsim;
    if (!boxsimArgs.empty()) {
        std::vector<std::string> argv = {BOXSIM_PROGRAM, "--link", link};
        argv.insert(argv.end(), boxsimArgs.begin(), boxsimArgs.end());
        boxsim = std::make_unique<test_support::Background>(argv);
        if (!test_support::waitForPath(link)) return run;
    }
    int master = -1;
    int slave = -1;
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 80;
    if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) return run;
    test_support::ProcessOptions options;
    options.controllingTerminal = ptsname(master);
    options.streamsOnTerminal = {0, 1, 2};
    options.environment["UPDATE_COM1"] = link;
    for (const char* variable : {"UPDATE_COM2", "UPDATE_COM3", "UPDATE_COM4"}) options.environment[variable] = dir.file("none");
    options.workingDirectory = dir.path();
    std::vector<std::string> argv = {UPDATE_PROGRAM};
    argv.insert(argv.end(), updateArgs.begin(), updateArgs.end());
    test_support::Background program(argv, options);
    close(slave);
    std::string raw;
    std::size_t answered = 0;
    std::size_t searchFrom = 0;  // each trigger counts only after the answer before it
    char chunk[4096];
    // The terminal reports EIO once the program, its last user, has gone.
    for (;;) {
        pollfd entry{master, POLLIN, 0};
        if (poll(&entry, 1, 60000) <= 0) break;
        const ssize_t got = read(master, chunk, sizeof chunk);
        if (got <= 0) break;
        raw.append(chunk, static_cast<std::size_t>(got));
        run.shown = withPlainLineEnds(raw);
        while (answered < responses.size()) {
            const std::size_t at = run.shown.find(responses[answered].after, searchFrom);
            if (at == std::string::npos) break;
            searchFrom = at + responses[answered].after.size();
            const std::string& input = responses[answered].input;
            if (write(master, input.data(), input.size()) != static_cast<ssize_t>(input.size())) break;
            ++answered;
        }
    }
    const test_support::ProcessResult ended = program.wait();
    close(master);
    run.exitCode = ended.exitCode;
    run.signal = ended.signal;
    if (boxsim) run.boxsimOut = boxsim->wait().out;
    run.shown = withPlainLineEnds(raw);
    return run;
}

test_support::ProcessResult runThroughPipes(const test_support::TempDirectory& dir, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {UPDATE_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    test_support::ProcessOptions options;
    for (const char* variable : {"UPDATE_COM1", "UPDATE_COM2", "UPDATE_COM3", "UPDATE_COM4"})
        options.environment[variable] = dir.file("none");
    options.workingDirectory = dir.path();
    return test_support::run(argv, options);
}

std::string image4(const test_support::TempDirectory& dir, std::size_t bytes) {
    const std::string path = dir.file("image.pad");
    const auto image = test_support::paddedImage(test_support::randomBytes(bytes, 7), {4, 0, 4, 0, 20});
    test_support::writeWholeFile(path, std::string(image.begin(), image.end()));
    return path;
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(Terminal, CommandLineMistakesAreExplainedOnATerminalOnly) {
    test_support::TempDirectory dir;
    const std::string image = image4(dir, 1000);

    // Nothing after the image name: ended before the port is touched.
    const auto piped = runThroughPipes(dir, {image, "-p", "2"});
    EXPECT_EQ(piped.exitCode, 1);
    EXPECT_EQ(piped.err, "\"-p\" comes after the image name " + image + ": options come before the image.\n");
    EXPECT_EQ(piped.out, "");

    const auto help = runThroughPipes(dir, {"-h"});
    EXPECT_EQ(help.err, "-h is an invalid option.\n");
    TerminalRun shown = runOnTerminal(dir, {}, {"-h"});
    EXPECT_EQ(shown.shown, "-h is an invalid option.\nTry update --help for the options.\n");
    EXPECT_EQ(shown.exitCode, 1);
    shown = runOnTerminal(dir, {}, {"-?"});
    EXPECT_EQ(shown.shown, "-? is an invalid option.\nTry update --help for the options.\n");

    const auto version = runThroughPipes(dir, {"--version"});
    EXPECT_EQ(version.out, "update 1.39\n");
    EXPECT_EQ(version.exitCode, 0);
    const auto noMethod = runThroughPipes(dir, {"-s"});
    EXPECT_EQ(noMethod.err, "-s needs a satellite method (eol, orb or mix).\n");
    EXPECT_EQ(noMethod.exitCode, 1);
}

TEST(Terminal, EveryImageCheckSaysWhichCheckFailed) {
    test_support::TempDirectory dir;
    const std::string good = image4(dir, 1000);
    std::string bytes = test_support::readWholeFile(good);
    test_support::writeWholeFile(dir.file("short.pad"), bytes.substr(0, bytes.size() - 100));
    bytes[20] = static_cast<char>(bytes[20] ^ 1);
    test_support::writeWholeFile(dir.file("sum.pad"), bytes);
    test_support::writeWholeFile(dir.file("empty.pad"), "");
    std::filesystem::create_directory(dir.file("folder.pad"));
    const std::pair<std::string, std::string> cases[] = {
        {dir.file("missing.pad"), " does not exist"},
        {dir.file("folder.pad"), " is a directory, not an image"},
        {dir.file("short.pad"), " is shorter than its length field says"},
        {dir.file("sum.pad"), " is damaged: its byte sum does not match"},
        {dir.file("empty.pad"), " is empty"},
    };
    for (const auto& [path, why] : cases) {
        const auto piped = runThroughPipes(dir, {path});
        EXPECT_EQ(piped.out, "Checking file... failed! Abort\n");
        EXPECT_EQ(piped.err, "");
        const TerminalRun shown = runOnTerminal(dir, {}, {path});
        EXPECT_EQ(shown.shown.rfind("Checking file... failed! Abort\nWhy: " + path + why, 0), 0u) << shown.shown;
        EXPECT_EQ(count(shown.shown, "\n"), 2u) << shown.shown;
    }
}

// The fixed size text names boot loader 1.7 whatever the box is; a person is
// told that the image is too large for this box, a pipe gets the text alone.
TEST(Terminal, AnImageTooLargeForTheBoxIsNamedAsSuch) {
    test_support::TempDirectory dir;
    const std::string image = image4(dir, 1900545);
    const std::string sizeText =
        "\n\nThe image size of 1900545 bytes exceeds the limit of 1900544 bytes\nsupported by bootloader "
        "version 1.7!\nTry to restart the application and abort.\n\n";
    const TerminalRun shown =
        runOnTerminal(dir, {"--full-speed", "--bootloader", "4.20", "--expect", "released"}, {image});
    EXPECT_EQ(shown.exitCode, 1);
    EXPECT_NE(shown.shown.find(sizeText + "Why: the image is too large for this box: its payload is 1900545 bytes, "
                                          "the box takes at most 1900544\n"),
              std::string::npos)
        << shown.shown;

    e2e::SessionOptions piped;
    piped.boxsimArgs = {"--full-speed", "--bootloader", "4.20", "--expect", "released"};
    piped.updateArgs = {"image.pad"};
    piped.files["image.pad"] = test_support::readWholeFile(image);
    test_support::TempDirectory pipedDir;
    const e2e::BoxSession session = e2e::runSession(pipedDir, piped);
    EXPECT_EQ(session.update.exitCode, 1);
    EXPECT_EQ(session.update.err, sizeText);
}

TEST(Terminal, LoopPromptReadsALineAndAsksAgainForAnythingElse) {
    test_support::TempDirectory dir;
    const std::string image = image4(dir, 2000);
    const std::string prompt = "Update another box (y/n)? [y]\n";
    // "yes" and a blank are no answers; Enter goes on; "N" ends.
    const TerminalRun shown = runOnTerminal(dir, {"--full-speed", "--bootloader", "4.20", "--boxes", "2"},
                                            {"-l", image},
                                            {{prompt, "yes\n"}, {"n to end: ", " \n"}, {"n to end: ", "\n"},
                                             {prompt, "N\n"}});
    EXPECT_EQ(shown.exitCode, 0) << shown.shown;
    EXPECT_EQ(count(shown.shown, "successfully finished."), 2u) << shown.shown;
    EXPECT_EQ(count(shown.shown, prompt), 2u);
    EXPECT_EQ(count(shown.shown, "Please answer y (or just Enter) to update another box, n to end: "), 2u);

    // Ctrl-D ends the loop on a terminal.
    test_support::TempDirectory again;
    const std::string second = image4(again, 2000);
    const TerminalRun ended =
        runOnTerminal(again, {"--full-speed", "--bootloader", "4.20", "--boxes", "2", "--expect", "flashed,none"},
                      {"-l", second}, {{prompt, "\x04"}});
    EXPECT_EQ(ended.exitCode, 0) << ended.shown;
    EXPECT_EQ(count(ended.shown, "successfully finished."), 1u);
}

TEST(Terminal, TheBoxsWordsWholeAndWhatToDoNext) {
    const std::vector<std::string> box = {"--full-speed", "--bootloader", "4.20", "--fault", "error", "--fault-at",
                                          "3000", "--fault-text", "simulated transfer failure"};
    test_support::TempDirectory dir;
    const std::string image = image4(dir, 20000);
    e2e::SessionOptions piped;
    piped.boxsimArgs = {"--bootloader", "4.20", "--fault", "error", "--fault-at", "3000", "--fault-text",
                        "simulated transfer failure"};
    piped.updateArgs = {"image.pad"};
    piped.files["image.pad"] = test_support::readWholeFile(image);
    test_support::TempDirectory pipedDir;
    const e2e::BoxSession session = e2e::runSession(pipedDir, piped);
    EXPECT_EQ(session.update.exitCode, 1);
    EXPECT_EQ(session.update.err, "Compressing file\nFehler: ERROR: simulated transfer failure\n\n");

    const TerminalRun shown = runOnTerminal(dir, box, {image});
    EXPECT_NE(shown.shown.find("Fehler: ERROR: simulated transfer failure\n\nWhy: the box is left in a failed "
                               "transfer: switch it off and on before the next try\n"),
              std::string::npos)
        << shown.shown;

    // Generation 2 prints "ERROR:" alone; a person gets the box's line.
    test_support::TempDirectory gen2;
    const std::string plain = gen2.file("image.pad");
    const auto image2 = test_support::paddedImage(test_support::randomBytes(20000, 8), {2});
    test_support::writeWholeFile(plain, std::string(image2.begin(), image2.end()));
    const TerminalRun said = runOnTerminal(
        gen2, {"--full-speed", "--bootloader", "2.0", "--fault", "error", "--fault-at", "3000", "--fault-text", "no room"},
        {plain});
    EXPECT_NE(said.shown.find("ERROR:\n\nWhy: the box said: \"ERROR: no room\"\n"), std::string::npos) << said.shown;
}

TEST(Terminal, AHangUpAfterTheMenuIsNamed) {
    test_support::TempDirectory dir;
    const std::string image = image4(dir, 20000);
    const TerminalRun shown = runOnTerminal(dir, {"--full-speed", "--bootloader", "4.20", "--hangup-at", "menu"}, {image});
    EXPECT_EQ(shown.exitCode, 1);
    // Through a pipe this failure says nothing at all.
    EXPECT_NE(shown.shown.find("Bootloader version 4.20 accessed!\nWhy: the port's speed could not be changed: the "
                               "line hung up: check the cable, the serial adapter and the box's power\n"),
              std::string::npos)
        << shown.shown;
}

TEST(Terminal, SignsOfLifeWhileTheBoxIsSlowAndNoneInAPipe) {
    test_support::TempDirectory dir;
    const std::string image = image4(dir, 2000);
    // The box answers the second keyword only, and programs for three seconds.
    const std::vector<std::string> box = {"--full-speed", "--bootloader", "4.20", "--answer-after", "2",
                                          "--programming-ms", "3000"};
    const TerminalRun shown = runOnTerminal(dir, box, {image});
    EXPECT_EQ(shown.exitCode, 0) << shown.shown;
    EXPECT_NE(shown.shown.find("\rno answer from the box (attempt 2 of 16) \u2014 switched on, cable plugged in?\r"),
              std::string::npos)
        << shown.shown;
    EXPECT_NE(shown.shown.find("Programming the flash memory... (1 s)\b\b\b\b\b\b (2 s)"), std::string::npos)
        << shown.shown;

    e2e::SessionOptions piped;
    piped.boxsimArgs = {"--bootloader", "4.20", "--answer-after", "2", "--programming-ms", "3000"};
    piped.updateArgs = {"image.pad"};
    piped.files["image.pad"] = test_support::readWholeFile(image);
    test_support::TempDirectory pipedDir;
    const e2e::BoxSession session = e2e::runSession(pipedDir, piped);
    EXPECT_EQ(session.update.exitCode, 0);
    EXPECT_EQ(session.update.out.find("attempt"), std::string::npos);
    EXPECT_EQ(session.update.out.find(" s)"), std::string::npos);
}

TEST(Terminal, CtrlCInTheMiddleSaysThatTheBoxNeedsSwitchingOffAndRemovesHyperPad) {
    test_support::TempDirectory dir;
    const std::string image = image4(dir, 200000);
    // At the line's own pace the transfer takes long enough to be interrupted.
    const TerminalRun shown = runOnTerminal(dir, {"--bootloader", "4.20", "--expect", "none"}, {image},
                                            {{"% transfered", "\x03"}});
    EXPECT_EQ(shown.signal, SIGINT);
    EXPECT_NE(shown.shown.find("Why: the update was interrupted in the middle: switch the box off and on before the "
                               "next try\n"),
              std::string::npos)
        << shown.shown;

    test_support::TempDirectory gen1;
    const std::string plain = gen1.file("image.pad");
    const auto image1 = test_support::paddedImage(test_support::randomBytes(20000, 9), {});
    test_support::writeWholeFile(plain, std::string(image1.begin(), image1.end()));
    const TerminalRun stopped =
        runOnTerminal(gen1, {"--bootloader", "1.8", "--expect", "none"}, {plain}, {{"% transfered", "\x03"}});
    EXPECT_EQ(stopped.signal, SIGINT) << stopped.shown;
    EXPECT_FALSE(std::filesystem::exists(gen1.file("hyper.pad")));
}

}  // namespace
