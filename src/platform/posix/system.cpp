// Clock, sleep, local time and beep.
#include "platform/platform.h"

#include <fcntl.h>
#include <unistd.h>

#include <ctime>

namespace platform {

std::uint32_t millis() { return static_cast<std::uint32_t>(monotonicUs() / 1000u); }

void sleepMs(std::uint32_t ms) {
    timespec remaining{static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

LocalTime localTime() {
    const time_t now = time(nullptr);
    tm fields{};
    localtime_r(&now, &fields);
    return LocalTime{fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday,
                     fields.tm_hour,        fields.tm_min,     fields.tm_sec};
}

// A terminal has no tone generator to tune, so pitch and length are the
// terminal's own. The bell goes to the controlling terminal only: standard
// output may be a log file or a pipe. A missing terminal is no error worth
// reporting, so the last error is left alone.
void beep(unsigned, unsigned) {
    const int fd = open("/dev/tty", O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    const ssize_t written = write(fd, "\a", 1);
    (void)written;
    close(fd);
}

}  // namespace platform
