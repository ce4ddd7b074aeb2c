#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace test_support {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string>& extra) {
    std::map<std::string, std::string> all;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text = *entry;
        auto equals = text.find('=');
        if (equals != std::string::npos) all[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [name, value] : extra) all[name] = value;
    std::vector<std::string> result;
    for (const auto& [name, value] : all) result.push_back(name + "=" + value);
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (auto& text : texts) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

struct Pipes {
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
};

pid_t spawn(const std::vector<std::string>& argv, const ProcessOptions& options, Pipes& pipes) {
    if (pipe2(pipes.in, O_CLOEXEC) != 0 || pipe2(pipes.out, O_CLOEXEC) != 0 || pipe2(pipes.err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipes.in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, pipes.out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipes.err[1], 2);
    // Only the three streams: what the test runner happens to hold open is
    // none of the program's business, and would blur its descriptor counts.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (!options.workingDirectory.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own process group, so a signal meant for it never reaches the tests.
    // With a terminal of its own it leads a new session (and so a new group),
    // and the first terminal it opens becomes its controlling terminal.
    short groupFlag = POSIX_SPAWN_SETPGROUP;
    if (!options.controllingTerminal.empty()) {
        groupFlag = POSIX_SPAWN_SETSID;
        posix_spawn_file_actions_addopen(&actions, 3, options.controllingTerminal.c_str(), O_RDWR, 0);
        for (const int stream : options.streamsOnTerminal) posix_spawn_file_actions_adddup2(&actions, 3, stream);
        // The program then holds the terminal through its streams alone.
        if (!options.streamsOnTerminal.empty()) posix_spawn_file_actions_addclose(&actions, 3);
    }
    posix_spawnattr_setflags(&attributes, groupFlag | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);

    std::vector<std::string> args = argv;
    std::vector<std::string> env = mergedEnvironment(options.environment);
    auto argPointers = pointers(args);
    auto envPointers = pointers(env);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0].c_str(), &actions, &attributes, argPointers.data(), envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(pipes.in[0]);
    close(pipes.out[1]);
    close(pipes.err[1]);
    if (rc != 0) {
        close(pipes.in[1]);
        close(pipes.out[0]);
        close(pipes.err[0]);
        throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
    }
    return pid;
}

void feedInput(int fd, const ProcessOptions& options) {
    // Small inputs only: the pipe holds them without blocking.
    std::size_t written = 0;
    while (written < options.input.size()) {
        ssize_t n = write(fd, options.input.data() + written, options.input.size() - written);
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
}

// Reads both streams until they close, the deadline passes (false) or, after
// each read, `enough` says so (true).
bool drainUntil(int outFd, int errFd, std::string& out, std::string& err, Clock::time_point deadline,
                const std::function<bool()>& enough) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    int open = 2;
    char buffer[4096];
    while (open > 0) {
        if (enough && enough()) return true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        if (poll(fds, 2, static_cast<int>(std::min<long long>(left, 1000))) < 0 && errno != EINTR) return false;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? out : err).append(buffer, static_cast<std::size_t>(n));
            } else {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    return !enough || enough();
}

// Reads both streams until they close or the deadline passes.
bool drain(int outFd, int errFd, std::string& out, std::string& err, Clock::time_point deadline) {
    return drainUntil(outFd, errFd, out, err, deadline, nullptr);
}

void collectExit(pid_t pid, ProcessResult& result, bool kill) {
    if (kill) ::kill(-pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
}

}  // namespace

ProcessResult run(const std::vector<std::string>& argv, const ProcessOptions& options) {
    Pipes pipes;
    ProcessResult result;
    pid_t pid = spawn(argv, options, pipes);
    feedInput(pipes.in[1], options);
    if (options.closeInput) close(pipes.in[1]);
    bool ended = drain(pipes.out[0], pipes.err[0], result.out, result.err, Clock::now() + options.timeLimit);
    result.timedOut = !ended;
    collectExit(pid, result, !ended);
    if (!options.closeInput) close(pipes.in[1]);
    close(pipes.out[0]);
    close(pipes.err[0]);
    return result;
}

Background::Background(const std::vector<std::string>& argv, const ProcessOptions& options) {
    Pipes pipes;
    pid_ = spawn(argv, options, pipes);
    feedInput(pipes.in[1], options);
    if (options.closeInput) {
        close(pipes.in[1]);
    } else {
        inFd_ = pipes.in[1];
    }
    outFd_ = pipes.out[0];
    errFd_ = pipes.err[0];
}

Background::~Background() {
    if (!finished_) wait(std::chrono::milliseconds{0});
}

ProcessResult Background::wait(std::chrono::milliseconds limit) {
    if (finished_) return result_;
    closeInput();
    bool ended = drain(outFd_, errFd_, result_.out, result_.err, Clock::now() + limit);
    result_.timedOut = !ended;
    collectExit(pid_, result_, !ended);
    close(outFd_);
    close(errFd_);
    finished_ = true;
    return result_;
}

void Background::signal(int signalNumber) {
    if (!finished_) ::kill(pid_, signalNumber);
}

void Background::pause() {
    if (finished_) return;
    ::kill(pid_, SIGSTOP);
    int status = 0;
    waitpid(pid_, &status, WUNTRACED);  // stopped, not just signalled
}

void Background::resume() {
    if (!finished_) ::kill(pid_, SIGCONT);
}

bool Background::waitForOutput(const std::function<bool(const std::string& out)>& done,
                               std::chrono::milliseconds limit) {
    if (finished_) return done(result_.out);
    return drainUntil(outFd_, errFd_, result_.out, result_.err, Clock::now() + limit,
                      [&] { return done(result_.out); });
}

bool Background::waitForOutput(const std::string& text, std::chrono::milliseconds limit) {
    return waitForOutput([&](const std::string& out) { return out.find(text) != std::string::npos; }, limit);
}

void Background::sendInput(const std::string& text) {
    if (inFd_ < 0) return;
    // A program that has already gone must fail the test, not kill it.
    std::signal(SIGPIPE, SIG_IGN);
    ProcessOptions options;
    options.input = text;
    feedInput(inFd_, options);
}

void Background::closeInput() {
    if (inFd_ >= 0) close(inFd_);
    inFd_ = -1;
}

bool waitForPath(const std::string& path, std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (access(path.c_str(), F_OK) == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds{5});
    }
    return false;
}

bool waitForFileText(const std::string& path, const std::string& text, std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    for (;;) {
        if (test_support::readWholeFile(path).find(text) != std::string::npos) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds{10});
    }
}

}  // namespace test_support
