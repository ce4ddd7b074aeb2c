// Child processes over posix_spawn and pipes, stop requests through a pipe the
// signal handler writes to, the durable report file, and port names.
#include "platform/child_process.h"

#include <fcntl.h>
#include <glob.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/platform.h"

extern char** environ;

namespace platform {

struct Child {
    pid_t pid = -1;
    int output = -1;
    int error = -1;
    bool reaped = false;
    ChildEnd end;
};

struct AppendFile {
    int fd = -1;
};

namespace {

int stopPipe[2] = {-1, -1};
volatile sig_atomic_t stopSeen = 0;

void onStopSignal(int) {
    const int kept = errno;
    stopSeen = 1;
    const char byte = 's';
    if (stopPipe[1] >= 0) {
        [[maybe_unused]] const ssize_t ignored = ::write(stopPipe[1], &byte, 1);
    }
    errno = kept;
}

void closeDescriptor(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

std::vector<std::string> environmentWith(const ChildStart& start) {
    std::vector<std::string> entries;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string text = *entry;
        bool replaced = false;
        for (const auto& [name, value] : start.environment) {
            replaced = replaced || text.compare(0, name.size() + 1, name + "=") == 0;
        }
        if (!replaced) entries.push_back(text);
    }
    for (const auto& [name, value] : start.environment) entries.push_back(name + "=" + value);
    return entries;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

ChildHandle startChild(const ChildStart& start) {
    int output[2];
    int error[2];
    if (pipe2(output, O_CLOEXEC) != 0) {
        setLastError(static_cast<std::uint32_t>(errno));
        return nullptr;
    }
    if (pipe2(error, O_CLOEXEC) != 0) {
        setLastError(static_cast<std::uint32_t>(errno));
        ::close(output[0]);
        ::close(output[1]);
        return nullptr;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!start.shareInput) posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, error[1], STDERR_FILENO);

    // The child starts with the signals as a fresh program has them, whatever
    // the supervisor catches or blocks.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGHUP);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> arguments = start.arguments;
    std::vector<std::string> environment = environmentWith(start);
    std::vector<char*> argv = pointersTo(arguments);
    std::vector<char*> envp = pointersTo(environment);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(output[1]);
    ::close(error[1]);
    if (failed != 0) {
        ::close(output[0]);
        ::close(error[0]);
        setLastError(static_cast<std::uint32_t>(failed));
        return nullptr;
    }
    fcntl(output[0], F_SETFL, fcntl(output[0], F_GETFL) | O_NONBLOCK);
    fcntl(error[0], F_SETFL, fcntl(error[0], F_GETFL) | O_NONBLOCK);
    auto* child = new Child;
    child->pid = pid;
    child->output = output[0];
    child->error = error[0];
    return child;
}

std::size_t readChild(ChildHandle child, ChildStream stream, char* buffer, std::size_t size, bool& closed) {
    int& fd = stream == ChildStream::Output ? child->output : child->error;
    closed = fd < 0;
    if (closed) return 0;
    for (;;) {
        const ssize_t got = ::read(fd, buffer, size);
        if (got > 0) return static_cast<std::size_t>(got);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno == EAGAIN) return 0;
        closeDescriptor(fd);
        closed = true;
        return 0;
    }
}

void waitForChildren(const std::vector<ChildHandle>& children, std::uint32_t timeoutMs) {
    std::vector<pollfd> watched;
    if (stopPipe[0] >= 0) watched.push_back({stopPipe[0], POLLIN, 0});
    for (const ChildHandle child : children) {
        if (child->output >= 0) watched.push_back({child->output, POLLIN, 0});
        if (child->error >= 0) watched.push_back({child->error, POLLIN, 0});
    }
    const int timeout = timeoutMs > static_cast<std::uint32_t>(INT_MAX) ? -1 : static_cast<int>(timeoutMs);
    ::poll(watched.data(), watched.size(), timeout);
    if (stopPipe[0] >= 0) {
        char drained[16];
        while (::read(stopPipe[0], drained, sizeof drained) > 0) {
        }
    }
}

ChildEnd childEnd(ChildHandle child) {
    if (child->reaped) return child->end;
    int status = 0;
    const pid_t got = ::waitpid(child->pid, &status, WNOHANG);
    if (got != child->pid) return {};
    child->reaped = true;
    child->end.ended = true;
    if (WIFEXITED(status)) child->end.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) child->end.signal = WTERMSIG(status);
    return child->end;
}

void stopChild(ChildHandle child, bool hard) {
    if (!child->reaped) ::kill(child->pid, hard ? SIGKILL : SIGTERM);
}

void releaseChild(ChildHandle child) {
    closeDescriptor(child->output);
    closeDescriptor(child->error);
    delete child;
}

std::string ownProgramPath(const char* argv0) {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length > 0) return std::string(path, static_cast<std::size_t>(length));
    return argv0 != nullptr ? argv0 : "update";
}

void catchStopRequests() {
    if (stopPipe[0] < 0 && pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) stopPipe[0] = stopPipe[1] = -1;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

bool stopRequested() { return stopSeen != 0; }

bool standardOutputTakesCursorMoves() { return ::isatty(STDOUT_FILENO) == 1; }

unsigned terminalColumns() {
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
    return size.ws_col;
}

AppendHandle openForAppending(const char* path) {
    struct stat status {};
    if (::stat(path, &status) == 0 && S_ISDIR(status.st_mode)) {
        setLastError(EISDIR);
        return nullptr;
    }
    const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) {
        setLastError(static_cast<std::uint32_t>(errno));
        return nullptr;
    }
    auto* file = new AppendFile;
    file->fd = fd;
    return file;
}

bool appendDurably(AppendHandle file, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = ::write(file->fd, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            setLastError(static_cast<std::uint32_t>(errno));
            return false;
        }
        done += static_cast<std::size_t>(put);
    }
    if (::fsync(file->fd) != 0 && errno != EINVAL) {
        setLastError(static_cast<std::uint32_t>(errno));
        return false;
    }
    return true;
}

void closeAppendFile(AppendHandle file) {
    if (file == nullptr) return;
    ::close(file->fd);
    delete file;
}

std::string canonicalPortName(const std::string& device) {
    char resolved[PATH_MAX];
    if (::realpath(device.c_str(), resolved) == nullptr) return device;
    return resolved;
}

std::string stablePortName(const std::string& device, const std::string& devRoot) {
    namespace fs = std::filesystem;
    const std::string target = canonicalPortName(device);
    for (const char* kind : {"by-id", "by-path"}) {
        const fs::path folder = fs::path(devRoot) / "serial" / kind;
        if (device.rfind(folder.string() + "/", 0) == 0) return device;
        std::error_code error;
        std::vector<std::string> links;
        for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
            if (canonicalPortName(entry->path().string()) == target) links.push_back(entry->path().string());
        }
        if (!links.empty()) {
            std::sort(links.begin(), links.end());
            return links.front();
        }
    }
    return device;
}

namespace {

// The consoles: the terminals the kernel writes its messages to, and the
// virtual consoles. A port pattern never hands them out.
bool isConsole(const std::string& canonical) {
    if (canonical == "/dev/console" || canonical == "/dev/tty" || canonical == "/dev/ptmx") return true;
    if (canonical.rfind("/dev/tty", 0) == 0 && canonical.size() > 8 &&
        std::strspn(canonical.c_str() + 8, "0123456789") == canonical.size() - 8) {
        return true;
    }
    std::ifstream active("/sys/class/tty/console/active");
    std::string name;
    while (active >> name) {
        if (canonical == "/dev/" + name) return true;
    }
    return false;
}

}  // namespace

std::vector<std::string> matchPortPattern(const std::string& pattern) {
    std::vector<std::string> names;
    glob_t found{};
    if (::glob(pattern.c_str(), 0, nullptr, &found) == 0) {
        for (std::size_t i = 0; i < found.gl_pathc; ++i) {
            const std::string name = found.gl_pathv[i];
            struct stat status {};
            if (::stat(name.c_str(), &status) != 0 || !S_ISCHR(status.st_mode)) continue;
            if (isConsole(canonicalPortName(name))) continue;
            names.push_back(name);
        }
    }
    ::globfree(&found);
    return names;
}

}  // namespace platform
