#include "pty_link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace boxsim {

namespace {

std::string systemError(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// What one end of the pair has to read. What the other end wrote reaches it a
// moment later, through the kernel's own worker, which a busy machine may hold
// back for long; a poll that finds no input waits for that hand-over, so the
// count that follows also holds the bytes still on their way.
int bytesWaiting(int fd) {
    if (fd < 0) return 0;
    pollfd entry{fd, POLLIN, 0};
    (void)::poll(&entry, 1, 0);
    int waiting = 0;
    if (ioctl(fd, FIONREAD, &waiting) != 0) return 0;
    return waiting;
}

}  // namespace

std::uint32_t baudOfSpeed(unsigned long speed) {
    static const std::array<std::pair<speed_t, std::uint32_t>, 19> kSpeeds{{
        {B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},       {B150, 150},
        {B200, 200},       {B300, 300},       {B600, 600},       {B1200, 1200},     {B1800, 1800},
        {B2400, 2400},     {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
        {B57600, 57600},   {B115200, 115200}, {B230400, 230400}, {B460800, 460800},
    }};
    for (const auto& [constant, baud] : kSpeeds)
        if (constant == speed) return baud;
    return 0;
}

PtyLink::~PtyLink() {
    unpublish();
    closeAll();
}

std::optional<std::string> PtyLink::open(const std::string& linkPath) {
    closeAll();
    linkPath_ = linkPath;
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) return systemError("posix_openpt");
    if (grantpt(master_) != 0) return systemError("grantpt");
    if (unlockpt(master_) != 0) return systemError("unlockpt");
    char name[PATH_MAX];
    if (ptsname_r(master_, name, sizeof name) != 0) return systemError("ptsname_r");
    slavePath_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave_ < 0) return systemError("open slave");
    termios raw{};
    if (tcgetattr(slave_, &raw) != 0) return systemError("tcgetattr");
    cfmakeraw(&raw);
    if (tcsetattr(slave_, TCSANOW, &raw) != 0) return systemError("tcsetattr");

    // Watched after our own open, so that only the program's opens count.
    watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    const std::uint32_t events = IN_OPEN | IN_CLOSE | (countWrites_ ? IN_MODIFY : 0);
    if (watch_ >= 0 && inotify_add_watch(watch_, name, events) < 0) {
        ::close(watch_);
        watch_ = -1;
    }

    const std::string temporary = linkPath + ".boxsim-" + std::to_string(getpid());
    ::unlink(temporary.c_str());
    if (::symlink(name, temporary.c_str()) != 0) return systemError("symlink");
    if (::rename(temporary.c_str(), linkPath.c_str()) != 0) {
        const std::string error = systemError("rename");
        ::unlink(temporary.c_str());
        return error;
    }
    return std::nullopt;
}

void PtyLink::hangUp() { closeAll(); }

void PtyLink::unpublish() {
    if (linkPath_.empty() || slavePath_.empty()) return;
    char target[PATH_MAX];
    const ssize_t n = ::readlink(linkPath_.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == slavePath_) ::unlink(linkPath_.c_str());
}

std::optional<PcLineSettings> PtyLink::pcSettings() const {
    termios t{};
    if (master_ < 0 || tcgetattr(master_, &t) != 0) return std::nullopt;
    PcLineSettings settings;
    settings.baud = baudOfSpeed(cfgetospeed(&t));
    settings.hardwareHandshake = (t.c_cflag & CRTSCTS) != 0;
    settings.local = (t.c_cflag & CLOCAL) != 0;
    return settings;
}

void PtyLink::readWatch(int& opens, int& closes) {
    if (watch_ < 0) return;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(watch_, buffer, sizeof buffer);
        if (n <= 0) return;
        for (ssize_t at = 0; at < n;) {
            inotify_event event{};
            std::memcpy(&event, buffer + at, sizeof event);
            if (event.mask & IN_OPEN) ++opens;
            if (event.mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) ++closes;
            if (event.mask & IN_MODIFY) ++pcWrites_;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
        }
    }
}

void PtyLink::discardUnreadOutput() {
    if (slave_ >= 0) tcflush(slave_, TCIFLUSH);
}

int PtyLink::unreadOutput() const { return bytesWaiting(slave_); }

void PtyLink::discardPendingInput() {
    std::uint8_t buffer[4096];
    while (master_ >= 0 && ::read(master_, buffer, sizeof buffer) > 0) {
    }
}

int PtyLink::pendingInput() const { return bytesWaiting(master_); }

bool PtyLink::pcCanWrite() const {
    pollfd entry{slave_, POLLOUT, 0};
    return slave_ >= 0 && poll(&entry, 1, 0) > 0 && (entry.revents & POLLOUT) != 0;
}

void PtyLink::holdPcOutput(bool held) {
    if (slave_ >= 0) tcflow(slave_, held ? TCOOFF : TCOON);
}

void PtyLink::awaitUnreadOutput(int size) const {
    // unreadOutput waits for the kernel's hand-over of what is on its way;
    // bytes still being written by the master come a moment later.
    for (int look = 0; look < 100 && slave_ >= 0; ++look) {
        const int unread = unreadOutput();
        if (unread >= size || unread == 0) return;
        poll(nullptr, 0, 1);
    }
}

void PtyLink::countPcWrites() {
    countWrites_ = true;
    if (watch_ >= 0) inotify_add_watch(watch_, slavePath_.c_str(), IN_OPEN | IN_CLOSE | IN_MODIFY);
}

void PtyLink::closeAll() {
    for (int* fd : {&master_, &slave_, &watch_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

}  // namespace boxsim
