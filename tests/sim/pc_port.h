// The scripted PC on boxsim's line, for the tests of boxsim over a real
// pseudo-terminal (boxsim itself runs through test_support::Background).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
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
