// Runs boxsim as a child process and plays a scripted PC on its line, for the
// tests of boxsim over a real pseudo-terminal.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace boxtest {

inline std::uint64_t msSince(std::chrono::steady_clock::time_point start) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

class BoxsimProcess {
public:
    explicit BoxsimProcess(std::vector<std::string> args) {
        int out[2];
        if (pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv;
            std::string program = BOXSIM_PATH;
            argv.push_back(program.data());
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        stdout_ = out[0];
    }
    ~BoxsimProcess() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (stdout_ >= 0) close(stdout_);
    }

    // Waits for boxsim to end; its exit status, or -1 if it did not end in time.
    int wait(int timeoutMs = 10000) {
        const auto start = std::chrono::steady_clock::now();
        for (;;) {
            int status = 0;
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                exited_ = true;
                char buffer[4096];
                ssize_t n;
                while ((n = read(stdout_, buffer, sizeof buffer)) > 0) output_.append(buffer, static_cast<size_t>(n));
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (msSince(start) > static_cast<std::uint64_t>(timeoutMs)) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    const std::string& output() const { return output_; }
    // Holds boxsim still, so that what the PC does meanwhile reaches it all at
    // once, as on a machine too busy to run it in between.
    void pause() {
        kill(pid_, SIGSTOP);
        int status = 0;
        waitpid(pid_, &status, WUNTRACED);  // stopped, not just signalled
    }
    void resume() { kill(pid_, SIGCONT); }

private:
    pid_t pid_ = -1;
    int stdout_ = -1;
    bool exited_ = false;
    std::string output_;
};

// The PC's end of the line: opens the published path as the program does.
class PcPort {
public:
    // Waits for the link to appear, then opens and configures it.
    bool open(const std::string& path, speed_t speed, int timeoutMs = 5000) {
        const auto start = std::chrono::steady_clock::now();
        struct stat st {};
        while (stat(path.c_str(), &st) != 0) {
            if (msSince(start) > static_cast<std::uint64_t>(timeoutMs)) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0) return false;
        termios t{};
        tcgetattr(fd_, &saved_);
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        cfsetspeed(&t, speed);
        return tcsetattr(fd_, TCSANOW, &t) == 0;
    }
    // Goes back to the speed the line had before open(), keeping CLOCAL and
    // the rest, as Wine restores a port the program lets go of.
    void restoreSpeedOnly() { setSpeed(cfgetospeed(&saved_)); }
    void setSpeed(speed_t speed) {
        termios t{};
        tcgetattr(fd_, &t);
        cfsetspeed(&t, speed);
        tcsetattr(fd_, TCSANOW, &t);
    }
    // Writes all bytes, retrying after retryUs while the line takes none.
    void write(std::string_view bytes, int retryUs = 2000) {
        std::size_t at = 0;
        while (at < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + at, bytes.size() - at);
            if (n > 0) at += static_cast<std::size_t>(n);
            else std::this_thread::sleep_for(std::chrono::microseconds(retryUs));
        }
    }
    // One read that returns at once, as the program's reads do.
    std::string readNow() {
        char buffer[4096];
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }
    // Reads until `until` has arrived or the time is up; hungUp tells whether the
    // line dropped meanwhile.
    std::string readUntil(std::string_view until, int timeoutMs) {
        const auto start = std::chrono::steady_clock::now();
        std::string got;
        while (msSince(start) < static_cast<std::uint64_t>(timeoutMs)) {
            pollfd p{fd_, POLLIN, 0};
            poll(&p, 1, 10);
            if (p.revents & POLLHUP) hungUp = true;
            char buffer[4096];
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
            else if (n < 0 && errno == EIO) hungUp = true;
            if (hungUp || (!until.empty() && got.find(until) != std::string::npos)) break;
        }
        return got;
    }
    void close() {
        if (fd_ < 0) return;
        tcsetattr(fd_, TCSANOW, &saved_);
        ::close(fd_);
        fd_ = -1;
    }
    ~PcPort() { close(); }

    bool hungUp = false;

private:
    int fd_ = -1;
    termios saved_{};
};

}  // namespace boxtest
