#include "platform/posix/custom_speed.h"

#include <cerrno>

#include <sys/ioctl.h>

#if defined(__linux__)
#include <linux/serial.h>
#endif

namespace platform {

#if defined(__linux__)

namespace {
bool custom(const serial_struct& info) { return (info.flags & ASYNC_SPD_MASK) != 0 || info.custom_divisor != 0; }
}  // namespace

bool clearCustomSpeed(int fd) {
    serial_struct info{};
    if (ioctl(fd, TIOCGSERIAL, &info) != 0) return errno == ENOTTY || errno == EINVAL;
    if (!custom(info)) return true;
    info.flags &= ~ASYNC_SPD_MASK;
    info.custom_divisor = 0;
    // Read back: a driver may take the call and keep its divisor.
    if (ioctl(fd, TIOCSSERIAL, &info) != 0 || ioctl(fd, TIOCGSERIAL, &info) != 0) return false;
    return !custom(info);
}

#else

bool clearCustomSpeed(int) { return true; }

#endif

}  // namespace platform
