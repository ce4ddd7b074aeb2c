#include "replay_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/signal_flush.h"

extern char** environ;

namespace boxsim {

namespace {

// A program told to stop puts its line back first; this long it may take.
constexpr std::uint64_t kStopGraceUs = 3000000;

bool isPortVariable(const char* entry) {
    for (int port = 1; port <= kProgramPorts; ++port) {
        const std::string name = "UPDATE_COM" + std::to_string(port) + "=";
        if (std::strncmp(entry, name.c_str(), name.size()) == 0) return true;
    }
    return false;
}

std::vector<std::string> environmentFor(const std::string& linkPath) {
    std::vector<std::string> entries;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry)
        if (!isPortVariable(*entry)) entries.emplace_back(*entry);
    for (int port = 1; port <= kProgramPorts; ++port)
        entries.push_back("UPDATE_COM" + std::to_string(port) + "=" + linkPath);
    return entries;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

ReplayedProgram::~ReplayedProgram() {
    if (collector_.joinable()) finish(platform::monotonicUs());
}

std::optional<std::string> ReplayedProgram::start(const std::vector<std::string>& command,
                                                  const std::string& linkPath) {
    if (command.empty()) return "no program to start";
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return std::string(std::strerror(errno));
    if (pipe2(err, O_CLOEXEC) != 0) {
        const int error = errno;
        ::close(out[0]);
        ::close(out[1]);
        return std::string(std::strerror(error));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    // The program starts with the signals as a fresh one has them, whatever boxsim catches.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&defaults, signal);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> arguments = command;
    std::vector<std::string> environment = environmentFor(linkPath);
    std::vector<char*> argv = pointersTo(arguments);
    std::vector<char*> envp = pointersTo(environment);
    const int failed = posix_spawnp(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(out[1]);
    ::close(err[1]);
    if (failed != 0) {
        ::close(out[0]);
        ::close(err[0]);
        pid_ = -1;
        return "cannot start " + command[0] + ": " + std::strerror(failed);
    }
    collector_ = std::thread([this, out = out[0], err = err[0]] { collect(out, err); });
    return std::nullopt;
}

// Reads both streams to their end (a full pipe would stop the program in
// the middle of its dialogue), then waits for the program's end.
void ReplayedProgram::collect(int out, int err) {
    Console console;
    pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    char buffer[4096];
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
        for (pollfd& entry : fds) {
            if (entry.fd < 0 || entry.revents == 0) continue;
            const ssize_t got = ::read(entry.fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                ::close(entry.fd);
                entry.fd = -1;  // poll passes over it
                continue;
            }
            (&entry == &fds[0] ? console.out : console.err).append(buffer, static_cast<std::size_t>(got));
        }
    }
    for (const pollfd& entry : fds)
        if (entry.fd >= 0) ::close(entry.fd);
    // Waited for without reaping: until it is reaped under the lock, the
    // program's number cannot go to another process that a stop would reach.
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    std::lock_guard lock(mutex_);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    seen_.console = std::move(console);
    seen_.ending = WIFSIGNALED(status) ? endingText(0, WTERMSIG(status)) : endingText(WEXITSTATUS(status), 0);
    ended_ = true;
    endedSignal_.notify_all();
}

bool ReplayedProgram::waitUntil(std::uint64_t deadlineUs) {
    std::unique_lock lock(mutex_);
    const std::uint64_t nowUs = platform::monotonicUs();
    const auto left = std::chrono::microseconds(deadlineUs > nowUs ? deadlineUs - nowUs : 0);
    return endedSignal_.wait_for(lock, left, [this] { return ended_.load(); });
}

void ReplayedProgram::signalIfRunning(int signal) {
    std::lock_guard lock(mutex_);
    if (!ended_) ::kill(pid_, signal);
}

SeenRun ReplayedProgram::finish(std::uint64_t deadlineUs) {
    if (!collector_.joinable()) return seen_;
    if (!waitUntil(deadlineUs)) {
        signalIfRunning(SIGTERM);
        if (!waitUntil(platform::monotonicUs() + kStopGraceUs)) signalIfRunning(SIGKILL);
    }
    collector_.join();
    return seen_;
}

}  // namespace boxsim
