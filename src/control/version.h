// Boot loader versions: the program's own revision, the box's reply and the
// table's texts, compared only for equality.
#pragma once

#include <cstdint>

struct BootloaderVersion {
    std::int32_t major = 0;
    std::int32_t minor = 0;
    friend bool operator==(const BootloaderVersion&, const BootloaderVersion&) = default;
};

// Skips everything before the first digit, then reads "%d.%d"; {0, 0} unless
// both numbers were read. A null text gives {0, 0}.
BootloaderVersion parseVersion(const char* text);

// major * 65536 + minor, the image id that names a boot loader version.
std::uint32_t versionImageId(const BootloaderVersion& version);
