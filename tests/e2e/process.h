// Running the built programs from the end-to-end tests: standard output and
// standard error captured apart, standard input fed, and a time limit so a
// test never hangs on a program that does.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace e2e {

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
    bool closeInput = true;                          // false: standard input stays open and empty
    std::string workingDirectory;
    // A terminal (e.g. a pseudo-terminal's slave) that becomes the program's
    // controlling terminal, in a session of its own; empty: none of its own.
    std::string controllingTerminal;
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
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    bool finished_ = false;
    ProcessResult result_;
};

// Waits until the path exists (e.g. the emulator's published port).
bool waitForPath(const std::string& path, std::chrono::milliseconds limit = std::chrono::milliseconds{5000});

// A fresh directory under the system's temporary directory, removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string readWholeFile(const std::string& path);
void writeWholeFile(const std::string& path, const std::string& content);

}  // namespace e2e
