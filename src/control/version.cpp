#include "control/version.h"

#include <cstdio>

BootloaderVersion parseVersion(const char* text) {
    BootloaderVersion version;
    if (text == nullptr) return version;
    while (*text != '\0' && (*text < '0' || *text > '9')) ++text;
    int major = 0;
    int minor = 0;
    if (std::sscanf(text, "%d.%d", &major, &minor) == 2) {
        version.major = major;
        version.minor = minor;
    }
    return version;
}

std::uint32_t versionImageId(const BootloaderVersion& version) {
    return static_cast<std::uint32_t>(version.major) * 65536u + static_cast<std::uint32_t>(version.minor);
}
