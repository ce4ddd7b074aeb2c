// The supported boot loaders and the update procedure that serves each.
#pragma once

#include <cstdint>

#include "control/version.h"
#include "platform/platform.h"


// Every update procedure has this signature. Result 0: the box was updated and
// the port is still open. Otherwise the procedure printed its message and closed
// the port.
using UpdateProcedure = int (*)(platform::PortHandle port, const char* imagePath, std::uint32_t imageLength,
                                std::uint32_t imageId, int unused, bool compressedImage, bool compressImage,
                                int speed, bool overrideImageHeader);

struct SupportedBootloader {
    const char* version;
    std::uint32_t imageType;  // only the low byte is compared
    UpdateProcedure procedure;
};

inline constexpr int kSupportedBootloaderCount = 50;
// 50 rows in table order, then an end row whose procedure is empty.
extern const SupportedBootloader SupportedBootloaderTable[kSupportedBootloaderCount + 1];

// The first row whose version equals the box's and whose image type equals the
// image's, or nullptr. With overrideImageHeader every visited row first sets
// imageType to its own type and imageId to the box's version.
const SupportedBootloader* findUpdateProcedure(const BootloaderVersion& boxVersion, std::uint8_t& imageType,
                                               std::uint32_t& imageId, bool overrideImageHeader);
