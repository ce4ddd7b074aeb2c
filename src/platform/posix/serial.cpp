// Serial port on termios. The port is opened non-blocking: a read returns at
// once, and every wait (for input, for room to write) is a poll() with a
// deadline, so no call spins and none can hang on a dead line.
#include "platform/line_timing.h"
#include "platform/platform.h"
#include "platform/raw_port.h"
#include "platform/serial_ports.h"

#include "platform/posix/custom_speed.h"
#include "platform/posix/restore_on_signal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <new>

namespace platform {

struct Port {
    int fd;
    termios saved;  // the settings found at open, put back at close
    std::uint32_t writeMultiplierMs;
    std::uint32_t writeConstantMs;
};

namespace {

// Longest single sleep while waiting for room to write: a pseudo-terminal does
// not reliably report POLLOUT when its far end reads.
constexpr int kWriteRetrySliceMs = 10;

// The deadlines here are absolute milliseconds on the monotonic clock, too
// wide to wrap within any wait.
std::uint64_t nowMs() { return monotonicUs() / 1000u; }

bool fail(int code) {
    setLastError(static_cast<std::uint32_t>(code));
    return false;
}

bool failWithErrno() { return fail(errno); }

struct SpeedEntry {
    speed_t code;
    std::uint32_t baud;
    bool settable;
};

// The speeds the program switches between, plus the common ones a port may
// carry when it is opened, so that reading the speed back tells the truth.
constexpr SpeedEntry kSpeeds[] = {
    {B300, 300, false},       {B600, 600, false},       {B1200, 1200, false},
    {B2400, 2400, false},     {B4800, 4800, false},     {B9600, 9600, true},
    {B19200, 19200, false},   {B38400, 38400, true},    {B57600, 57600, false},
    {B115200, 115200, true},  {B230400, 230400, false},
};

bool speedCodeFor(std::uint32_t baud, speed_t& code) {
    for (const SpeedEntry& entry : kSpeeds) {
        if (entry.baud == baud && entry.settable) {
            code = entry.code;
            return true;
        }
    }
    return false;
}

bool baudFor(speed_t code, std::uint32_t& baud) {
    for (const SpeedEntry& entry : kSpeeds) {
        if (entry.code == code) {
            baud = entry.baud;
            return true;
        }
    }
    return false;
}

// tcsetattr succeeds if the driver took any part of the settings; what the
// line runs at is what tcgetattr then reports (an input speed of 0 means
// "as the output").
bool speedApplied(int fd, std::uint32_t baud) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) return failWithErrno();
    std::uint32_t output = 0;
    std::uint32_t input = 0;
    const bool inputAsOutput = cfgetispeed(&settings) == B0;
    if (baudFor(cfgetospeed(&settings), output) && output == baud &&
        (inputAsOutput || (baudFor(cfgetispeed(&settings), input) && input == baud))) {
        return true;
    }
    return fail(static_cast<int>(kErrorSpeedNotApplied));
}

// A driver that lacks a call (a pseudo-terminal has no modem lines, some
// adapters no exclusive mode) answers ENOTTY or EINVAL.
bool unsupported(int code) { return code == ENOTTY || code == EINVAL; }

// Modem-control lines. Without them the line simply has no such wires to drive.
bool changeModemLines(int fd, unsigned long request, int lines) {
    if (ioctl(fd, request, &lines) == 0) return true;
    return unsupported(errno);
}

bool isHangUp(short revents) { return (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0; }

std::uint32_t lineBaud(int fd) {
    termios settings{};
    std::uint32_t baud = 0;
    if (tcgetattr(fd, &settings) == 0 && baudFor(cfgetospeed(&settings), baud)) return baud;
    return 0;
}

enum class Drained { Empty, HeldBack, HungUp, Unknown };

// Waits, until deadlineMs, for the system's transmit buffer to empty. Each
// wait lasts about as long as the queued bytes need at the line's speed, so
// the loop wakes a few times, never spins, and notices a hang-up at once.
Drained drainUntil(int fd, std::uint64_t deadlineMs) {
#if defined(TIOCOUTQ)
    const std::uint32_t baud = lineBaud(fd);
    for (;;) {
        int queued = 0;
        if (ioctl(fd, TIOCOUTQ, &queued) != 0) return unsupported(errno) ? Drained::Unknown : Drained::HungUp;
        if (queued <= 0) return Drained::Empty;
        const std::uint64_t now = nowMs();
        if (now >= deadlineMs) return Drained::HeldBack;
        const std::uint64_t needMs = baud == 0 ? kWriteRetrySliceMs : std::uint64_t{10'000} * queued / baud + 1;
        const int waitMs = static_cast<int>(std::min({needMs, deadlineMs - now, std::uint64_t{INT_MAX}}));
        pollfd entry{fd, 0, 0};
        if (poll(&entry, 1, waitMs) > 0 && isHangUp(entry.revents)) return Drained::HungUp;
    }
#else
    (void)fd;
    (void)deadlineMs;
    return Drained::Unknown;
#endif
}

// Lets what was written leave the line before the settings change: the
// system's buffer (bounded, a line held by CTS never empties), then the
// driver's own wait for its FIFO, then a margin for what no drain counts.
// What is held back past the bound is discarded: it would leave later at the
// restored speed, garbled, and a close() with output pending waits out the
// kernel's closing wait (30 s by default).
void drainBeforeRestore(int fd) {
    const std::uint32_t baud = lineBaud(fd);
    switch (drainUntil(fd, nowMs() + kCloseDrainLimitMs)) {
    case Drained::Empty:
        // Only now: with the buffer empty, the drivers bound their own wait
        // for the transmitter; with bytes queued behind CTS it has none.
        tcdrain(fd);
        break;
    case Drained::HeldBack:
        tcflush(fd, TCOFLUSH);
        return;
    case Drained::HungUp:
        return;
    case Drained::Unknown:
        break;
    }
    pollfd none{-1, 0, 0};
    poll(&none, 1, static_cast<int>(closeMarginMs(baud)));
}

}  // namespace

PortHandle openPortRaw(const char* device) {
    // An empty name would otherwise reach open() as "" and read as ENOENT
    // anyway; say so without asking the system.
    if (device == nullptr || device[0] == '\0') {
        fail(ENOENT);
        return kInvalidPort;
    }
    // No O_CLOEXEC: the port handle is meant to be inheritable, as on Win32.
    // The name may be a symbolic link (/dev/serial/by-id/...): ports are.
    const int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        failWithErrno();
        return kInvalidPort;
    }
    // flock keeps out any other program that asks, root included; TIOCEXCL
    // also keeps out those that do not ask (but not root).
    // A driver without TIOCEXCL still has the flock.
    termios saved{};
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || (ioctl(fd, TIOCEXCL) != 0 && !unsupported(errno)) ||
        tcgetattr(fd, &saved) != 0) {
        const int code = errno;
        ioctl(fd, TIOCNXCL);
        close(fd);
        fail(code);
        return kInvalidPort;
    }
    Port* port = new (std::nothrow) Port{fd, saved, 0, 0};
    if (port == nullptr) {
        close(fd);
        fail(ENOMEM);
        return kInvalidPort;
    }
    restoreOnSignal(fd, saved);
    return port;
}

bool configureLineRaw(PortHandle port, std::uint32_t baud, bool hardwareHandshake) {
    if (port == kInvalidPort) return fail(EBADF);
    speed_t speed{};
    if (!speedCodeFor(baud, speed)) return fail(EINVAL);
    termios settings{};
    if (tcgetattr(port->fd, &settings) != 0) return failWithErrno();

    settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR |
                                               IGNCR | ICRNL | IXON | IXOFF | IXANY);
#if defined(IUCLC)
    settings.c_iflag &= ~static_cast<tcflag_t>(IUCLC);
#endif
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
#if defined(CRTSCTS)
    if (hardwareHandshake) {
        settings.c_cflag |= CRTSCTS;
    } else {
        settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    }
#endif
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0) return failWithErrno();
    // Opening raised DTR and RTS; a box without handshake lines gets them
    // dropped before anything else, so that the pulse lasts a few calls.
    if (!hardwareHandshake && !changeModemLines(port->fd, TIOCMBIC, TIOCM_DTR | TIOCM_RTS)) return failWithErrno();
    if (!clearCustomSpeed(port->fd)) return fail(static_cast<int>(kErrorSpeedNotApplied));
    if (tcsetattr(port->fd, TCSANOW, &settings) != 0) return failWithErrno();
    if (!speedApplied(port->fd, baud)) return false;

    // Again after the settings: while CRTSCTS was on, the driver drove RTS.
    const bool linesSet = hardwareHandshake ? changeModemLines(port->fd, TIOCMBIS, TIOCM_DTR)
                                            : changeModemLines(port->fd, TIOCMBIC, TIOCM_DTR | TIOCM_RTS);
    return linesSet || failWithErrno();
}

bool getBaudRateRaw(PortHandle port, std::uint32_t& baud) {
    if (port == kInvalidPort) return fail(EBADF);
    termios settings{};
    if (tcgetattr(port->fd, &settings) != 0) return failWithErrno();
    return baudFor(cfgetospeed(&settings), baud) || fail(EINVAL);
}

bool setBaudRateRaw(PortHandle port, std::uint32_t baud) {
    if (port == kInvalidPort) return fail(EBADF);
    speed_t speed{};
    if (!speedCodeFor(baud, speed)) return fail(EINVAL);
    termios settings{};
    if (tcgetattr(port->fd, &settings) != 0) return failWithErrno();
    if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0) return failWithErrno();
    if (tcsetattr(port->fd, TCSANOW, &settings) != 0) return failWithErrno();
    return speedApplied(port->fd, baud);
}

bool setWriteTimeouts(PortHandle port, std::uint32_t multiplierMs, std::uint32_t constantMs) {
    if (port == kInvalidPort) return fail(EBADF);
    port->writeMultiplierMs = multiplierMs;
    port->writeConstantMs = constantMs;
    return true;
}

bool getLineStatus(PortHandle port, LineStatus& status) {
    status = LineStatus{};
    if (port == kInvalidPort) return fail(EBADF);
    termios settings{};
    if (tcgetattr(port->fd, &settings) != 0) return failWithErrno();
#if defined(CRTSCTS)
    status.handshakeOn = (settings.c_cflag & CRTSCTS) != 0;
#endif
    int lines = 0;
    if (ioctl(port->fd, TIOCMGET, &lines) == 0) {
        status.modemLinesKnown = true;
        status.clearToSend = (lines & TIOCM_CTS) != 0;
    } else if (!unsupported(errno)) {
        return failWithErrno();
    }
    return true;
}

bool waitUntilSent(PortHandle port, std::uint32_t timeoutMs) {
    if (port == kInvalidPort) return fail(EBADF);
    switch (drainUntil(port->fd, nowMs() + timeoutMs)) {
    case Drained::Empty:
    case Drained::Unknown:
        return true;
    case Drained::HeldBack:
        tcflush(port->fd, TCOFLUSH);
        return fail(static_cast<int>(kErrorCounterTimeout));
    case Drained::HungUp:
        break;
    }
    return fail(EIO);
}

// termios keeps no sticky error state: parity and framing errors are dropped or
// marked per byte by the line settings, and an overrun blocks nothing. Win32
// stops all I/O after a line error until it is cleared; POSIX never does.
void clearErrors(PortHandle) {}

bool readPortRaw(PortHandle port, void* buffer, std::uint32_t size, std::uint32_t& received) {
    received = 0;
    if (port == kInvalidPort) return fail(EBADF);
    const std::size_t wanted = std::min<std::size_t>(size, SSIZE_MAX);
    for (;;) {
        const ssize_t got = read(port->fd, buffer, wanted);
        if (got > 0) {
            received = static_cast<std::uint32_t>(got);
            return true;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return failWithErrno();
        break;
    }
    // Nothing there: silence, or a line that has gone. Only poll() tells which.
    pollfd entry{port->fd, POLLIN, 0};
    if (poll(&entry, 1, 0) > 0 && isHangUp(entry.revents)) return fail(EIO);
    return true;
}

bool writePortRaw(PortHandle port, const void* data, std::uint32_t size, std::uint32_t& sent) {
    sent = 0;
    if (port == kInvalidPort) return fail(EBADF);
    const bool timed = port->writeMultiplierMs != 0 || port->writeConstantMs != 0;
    const std::uint64_t deadline = nowMs() + std::uint64_t{port->writeMultiplierMs} * size +
                                   port->writeConstantMs;
    const auto* bytes = static_cast<const unsigned char*>(data);
    bool pollSaidWritable = false;
    while (sent < size) {
        const ssize_t taken = write(port->fd, bytes + sent, size - sent);
        if (taken > 0) {
            sent += static_cast<std::uint32_t>(taken);
            pollSaidWritable = false;
            continue;
        }
        if (taken < 0 && errno == EINTR) continue;
        if (taken < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return failWithErrno();

        int sliceMs = kWriteRetrySliceMs;
        if (timed) {
            const std::uint64_t now = nowMs();
            if (now >= deadline) return fail(static_cast<int>(kErrorCounterTimeout));
            sliceMs = static_cast<int>(std::min<std::uint64_t>(deadline - now, kWriteRetrySliceMs));
        }
        // If poll() just claimed room that the write then did not find, sleep
        // the slice out (still woken by a hang-up) instead of asking again.
        pollfd entry{port->fd, static_cast<short>(pollSaidWritable ? 0 : POLLOUT), 0};
        const int ready = poll(&entry, 1, sliceMs);
        if (ready > 0 && isHangUp(entry.revents)) return fail(EIO);
        pollSaidWritable = ready > 0 && (entry.revents & POLLOUT) != 0;
    }
    return true;
}

void waitForInput(PortHandle port, std::uint32_t timeoutMs) {
    if (port == kInvalidPort) return;
    const bool forever = timeoutMs == kWaitForever;
    const std::uint64_t deadline = nowMs() + timeoutMs;
    for (;;) {
        int waitMs = -1;
        if (!forever) {
            const std::uint64_t now = nowMs();
            if (now >= deadline) return;
            waitMs = static_cast<int>(std::min<std::uint64_t>(deadline - now, INT_MAX));
        }
        pollfd entry{port->fd, POLLIN, 0};
        const int ready = poll(&entry, 1, waitMs);
        if (ready > 0) return;
        if (ready < 0 && errno != EINTR) return;
    }
}

void closePortRaw(PortHandle port) {
    if (port == kInvalidPort) return;
    const std::uint32_t keptError = lastError();
    drainBeforeRestore(port->fd);
    tcsetattr(port->fd, TCSANOW, &port->saved);
    forgetOnSignal(port->fd);  // only now: a signal before this still restores
    // The exclusive flag outlives the descriptor on a pseudo-terminal whose
    // master stays open: clear it, or nobody but root could open it again.
    ioctl(port->fd, TIOCNXCL);
    close(port->fd);
    delete port;
    setLastError(keptError);
}

}  // namespace platform
