// The update procedures, one dialogue per boot loader generation. Each has the
// UpdateProcedure signature of the boot loader table.
#pragma once

#include <cstdint>

#include "platform/platform.h"


inline constexpr std::uint32_t UPD_MAX_PAYLOAD = 1900544;

#define UPDATE_PROCEDURE(name)                                                                              \
    int name(platform::PortHandle port, const char* imagePath, std::uint32_t imageLength, std::uint32_t imageId,     \
             int unused, bool compressedImage, bool compressImage, int speed, bool overrideImageHeader)

UPDATE_PROCEDURE(updateGeneration4Type4);
UPDATE_PROCEDURE(updateGeneration4Type5);
UPDATE_PROCEDURE(updateGeneration4Type6);
UPDATE_PROCEDURE(updateGeneration2);
UPDATE_PROCEDURE(updateBootloader14);
UPDATE_PROCEDURE(updateBootloader15);
UPDATE_PROCEDURE(updateBootloader16);
UPDATE_PROCEDURE(updateBootloader17);
UPDATE_PROCEDURE(updateBootloader18);
UPDATE_PROCEDURE(updateDated);
