#include "platform/fake_uart_driver.h"

#include <cerrno>
#include <cstdarg>
#include <ctime>
#include <optional>

#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
int __real_ioctl(int fd, unsigned long request, void* argument);
int __real_tcgetattr(int fd, termios* settings);
int __real_tcsetattr(int fd, int when, const termios* settings);
int __real_tcdrain(int fd);
int __real_tcflush(int fd, int queue);
int __real_poll(pollfd* fds, nfds_t count, int timeoutMs);
ssize_t __real_write(int fd, const void* data, size_t size);
int __real_clock_gettime(clockid_t clock, timespec* time);
int __real_close(int fd);
}

namespace fakeuart {

namespace {

std::optional<Driver> driver;
dev_t claimedDevice = 0;

bool claimed(int fd) {
    if (!driver || fd < 0) return false;
    struct stat status {};
    return fstat(fd, &status) == 0 && S_ISCHR(status.st_mode) && status.st_rdev == claimedDevice;
}

std::uint32_t baudOf(const termios& settings) {
    switch (cfgetospeed(&settings)) {
    case B9600: return 9600;
    case B38400: return 38400;
    case B115200: return 115200;
    default: return 0;
    }
}

void advance(std::uint64_t us) {
    driver->nowUs += us;
    driver->uart.advanceTo(driver->nowUs);
}

int failWith(int code) {
    errno = code;
    return -1;
}

}  // namespace

bool Driver::called(const std::string& name) const { return indexOf(name) >= 0; }

int Driver::indexOf(const std::string& name) const {
    for (std::size_t i = 0; i < calls.size(); ++i)
        if (calls[i].compare(0, name.size(), name) == 0) return static_cast<int>(i);
    return -1;
}

Driver& install(const std::string& device, simline::UartModel::Options options) {
    struct stat status {};
    stat(device.c_str(), &status);
    claimedDevice = status.st_rdev;
    driver.emplace();
    driver->uart = simline::UartModel(options);
    cfsetispeed(&driver->stored, B9600);
    cfsetospeed(&driver->stored, B9600);
    driver->stored.c_cflag |= CS8 | CREAD | HUPCL;
    driver->uart.setSpeed(9600, driver->nowUs);
    driver->dtrRts = TIOCM_DTR | TIOCM_RTS;  // raised by the open
    return *driver;
}

void uninstall() { driver.reset(); }

}  // namespace fakeuart

using fakeuart::driver;

extern "C" {

int __wrap_ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (!fakeuart::claimed(fd)) return __real_ioctl(fd, request, argument);
    fakeuart::Driver& d = *driver;
    d.uart.advanceTo(d.nowUs);
    switch (request) {
    case TIOCEXCL:
    case TIOCNXCL:
        d.calls.push_back(request == TIOCEXCL ? "TIOCEXCL" : "TIOCNXCL");
        return d.exclusiveError != 0 ? fakeuart::failWith(d.exclusiveError) : 0;
    case TIOCMGET: {
        if (d.modemLinesError != 0) return fakeuart::failWith(d.modemLinesError);
        *static_cast<int*>(argument) = d.dtrRts | (d.uart.clearToSend() ? TIOCM_CTS : 0);
        return 0;
    }
    case TIOCMBIS:
    case TIOCMBIC: {
        d.calls.push_back(request == TIOCMBIS ? "TIOCMBIS" : "TIOCMBIC");
        if (d.modemLinesError != 0) return fakeuart::failWith(d.modemLinesError);
        const int lines = *static_cast<int*>(argument);
        d.dtrRts = request == TIOCMBIS ? (d.dtrRts | lines) : (d.dtrRts & ~lines);
        return 0;
    }
    case TIOCOUTQ:
        *static_cast<int*>(argument) = static_cast<int>(d.uart.bufferQueued());
        return 0;
    case TIOCGSERIAL:
    case TIOCSSERIAL: {
        if (!d.hasSerialInfo) return fakeuart::failWith(ENOTTY);
        auto* info = static_cast<serial_struct*>(argument);
        if (request == TIOCGSERIAL) {
            *info = serial_struct{};
            info->flags = d.customSpeed ? ASYNC_SPD_CUST : 0;
            info->custom_divisor = d.customSpeed ? 7 : 0;
            return 0;
        }
        d.calls.push_back("TIOCSSERIAL");
        if (!d.customSpeedSticks) d.customSpeed = (info->flags & ASYNC_SPD_MASK) != 0 || info->custom_divisor != 0;
        return 0;
    }
    default:
        return __real_ioctl(fd, request, argument);
    }
}

int __wrap_tcgetattr(int fd, termios* settings) {
    if (!fakeuart::claimed(fd)) return __real_tcgetattr(fd, settings);
    *settings = driver->stored;
    return 0;
}

int __wrap_tcsetattr(int fd, int when, const termios* settings) {
    if (!fakeuart::claimed(fd)) return __real_tcsetattr(fd, when, settings);
    fakeuart::Driver& d = *driver;
    const termios before = d.stored;
    d.stored = *settings;
    if (d.keepsSpeed) {
        cfsetispeed(&d.stored, cfgetispeed(&before));
        cfsetospeed(&d.stored, cfgetospeed(&before));
    }
    d.uart.setHandshake((d.stored.c_cflag & CRTSCTS) != 0, d.nowUs);
    if (!d.uart.handshakeInForce()) d.stored.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    const std::uint32_t baud = fakeuart::baudOf(d.stored);
    d.uart.setSpeed(baud, d.nowUs);
    d.calls.push_back("tcsetattr " + std::to_string(baud));
    return 0;
}

// As the kernel's: waits for the system's buffer without a limit, then (where
// the driver can ask its chip) for the transmitter within the driver's own bound.
int __wrap_tcdrain(int fd) {
    if (!fakeuart::claimed(fd)) return __real_tcdrain(fd);
    fakeuart::Driver& d = *driver;
    d.calls.push_back("tcdrain");
    const auto emptyAt = d.uart.emptyAtUs(d.nowUs);
    if (d.uart.bufferQueued() > 0 && !emptyAt) {
        d.drainWouldHang = true;
        return 0;
    }
    if (!d.drainWaitsForTransmitter) return 0;
    const std::uint64_t driverBoundUs = 20'000 + 2 * 16 * simline::byteTimeUs(d.uart.baud());
    const std::uint64_t untilUs = emptyAt ? *emptyAt : d.nowUs + driverBoundUs;
    if (untilUs > d.nowUs) fakeuart::advance(untilUs - d.nowUs);
    return 0;
}

int __wrap_tcflush(int fd, int queue) {
    if (!fakeuart::claimed(fd)) return __real_tcflush(fd, queue);
    driver->calls.push_back("tcflush");
    if (queue == TCOFLUSH || queue == TCIOFLUSH) driver->uart.flushOutput();
    return 0;
}

// The line never hangs up here: a poll on the device, or a plain sleep, only
// lets the virtual time pass.
int __wrap_poll(pollfd* fds, nfds_t count, int timeoutMs) {
    bool ours = driver.has_value();
    for (nfds_t i = 0; i < count && ours; ++i) ours = fds[i].fd < 0 || fakeuart::claimed(fds[i].fd);
    if (!ours) return __real_poll(fds, count, timeoutMs);
    for (nfds_t i = 0; i < count; ++i) fds[i].revents = 0;
    if (timeoutMs > 0) fakeuart::advance(std::uint64_t(timeoutMs) * 1000);
    return 0;
}

ssize_t __wrap_write(int fd, const void* data, size_t size) {
    if (!fakeuart::claimed(fd)) return __real_write(fd, data, size);
    const std::size_t taken = driver->uart.write(static_cast<const std::uint8_t*>(data), size, driver->nowUs);
    if (taken == 0) return fakeuart::failWith(EAGAIN);
    return static_cast<ssize_t>(taken);
}

int __wrap_clock_gettime(clockid_t clock, timespec* time) {
    if (!driver || clock != CLOCK_MONOTONIC) return __real_clock_gettime(clock, time);
    time->tv_sec = static_cast<time_t>(driver->nowUs / 1'000'000);
    time->tv_nsec = static_cast<long>(driver->nowUs % 1'000'000) * 1000;
    return 0;
}

// The kernel's closing wait: output still queued holds close() until it has
// left or the wait has passed.
int __wrap_close(int fd) {
    if (fakeuart::claimed(fd)) {
        fakeuart::Driver& d = *driver;
        d.calls.push_back("close");
        if (d.uart.bufferQueued() > 0) {
            const auto emptyAt = d.uart.emptyAtUs(d.nowUs);
            const std::uint64_t untilUs = emptyAt ? std::min(*emptyAt, d.nowUs + d.closingWaitUs)
                                                  : d.nowUs + d.closingWaitUs;
            fakeuart::advance(untilUs - d.nowUs);
        }
    }
    return __real_close(fd);
}

}  // extern "C"
