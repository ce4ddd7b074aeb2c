// Names of ports on POSIX: every port is a path, which may be a symbolic link.
#include "platform/serial_ports.h"

#include <sys/stat.h>

#include <climits>
#include <cstring>

namespace platform {

unsigned comNumberOfDevice(const char*) { return 0; }

PortNameProblem checkPortName(const char* device) {
    if (device == nullptr || device[0] == '\0') return PortNameProblem::Empty;
    if (std::strlen(device) >= PATH_MAX) return PortNameProblem::TooLong;
    for (const char* part = device; *part != '\0';) {
        const std::size_t length = std::strcspn(part, "/");
        if (length > NAME_MAX) return PortNameProblem::TooLong;
        part += length;
        part += std::strspn(part, "/");
    }
    // Follows links, as opening will. A name that is missing now may be an
    // adapter not yet plugged in: opening it tells.
    struct stat status {};
    if (stat(device, &status) != 0) return PortNameProblem::None;
    if (S_ISREG(status.st_mode)) return PortNameProblem::RegularFile;
    if (S_ISDIR(status.st_mode)) return PortNameProblem::Directory;
    return PortNameProblem::None;
}

}  // namespace platform
