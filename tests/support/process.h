// Running the built programs (update, boxsim) from the tests: arguments and
// environment, standard output and standard error captured apart, standard
// input fed, exit code or signal, and a time limit so a test never hangs on a
// program that does. POSIX only.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/temp_directory.h"  // the directories and files the runs use

namespace test_support {

struct ProcessResult {
    int exitCode = -1;     // -1 when killed or not started
    int signal = 0;        // the signal that ended it, 0 if none
    bool timedOut = false;
    std::string out;
    std::string err;
};

struct ProcessOptions {
    std::map<std::string, std::string> environment;  // added to (or replacing in) the test's own
    std::string input;                               // fed to standard input, then closed
    bool closeInput = true;                          // false: standard input stays open (see Background::sendInput)
    std::string workingDirectory;
    // A terminal (e.g. a pseudo-terminal's slave) that becomes the program's
    // controlling terminal, in a session of its own; empty: none of its own.
    std::string controllingTerminal;
    // Of the streams 0, 1, 2, those that go to controllingTerminal in place of
    // a pipe, as a person at that terminal would see them; what the program
    // writes there is read on the pseudo-terminal's master, not collected.
    std::vector<int> streamsOnTerminal;
    std::chrono::milliseconds timeLimit{60000};
};

// Runs the program to its end (or the time limit, then kills it).
ProcessResult run(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// A program running in the background, e.g. the box emulator.
class Background {
public:
    Background(const std::vector<std::string>& argv, const ProcessOptions& options = {});
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // Waits for the end (killing it after the limit) and collects its output.
    ProcessResult wait(std::chrono::milliseconds limit = std::chrono::milliseconds{30000});
    void signal(int signalNumber);
    // Holds it still (until resume), so that what the test does meanwhile
    // reaches it all at once, as on a machine too busy to run it in between.
    void pause();
    void resume();
    pid_t pid() const { return pid_; }

    // Collects output while the program runs, until its standard output so
    // far satisfies `done` (true), or the limit passes or the program closes
    // its output (false). What it collects is kept for wait().
    bool waitForOutput(const std::function<bool(const std::string& out)>& done, std::chrono::milliseconds limit);
    bool waitForOutput(const std::string& text, std::chrono::milliseconds limit);
    const std::string& outputSoFar() const { return result_.out; }
    const std::string& errorsSoFar() const { return result_.err; }
    // Writes to standard input; only when it was left open (closeInput false).
    void sendInput(const std::string& text);
    // Closes standard input now (it is closed at wait() anyway).
    void closeInput();

private:
    pid_t pid_ = -1;
    int inFd_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    bool finished_ = false;
    ProcessResult result_;
};

// Waits until the path exists (e.g. the emulator's published port).
bool waitForPath(const std::string& path, std::chrono::milliseconds limit = std::chrono::milliseconds{5000});

// Waits until the file holds the text (e.g. a step in the emulator's dialogue
// log), looking again every few milliseconds.
bool waitForFileText(const std::string& path, const std::string& text,
                     std::chrono::milliseconds limit = std::chrono::milliseconds{30000});

}  // namespace test_support
