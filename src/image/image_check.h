// The check of the image file named on the command line.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// The image length value (payload length + 8; the file size for an irdeto
// image) on success, 0 on failure. imageType and bootloaderId are written on
// success only. Prints nothing.
std::uint32_t checkImageFile(const char* path, std::uint8_t& imageType, std::uint32_t& bootloaderId, int irdeto);

// Sums the next `length` bytes of the file, read through the scratch buffer in
// chunks so the image is never held in memory whole. false when the file
// cannot be read that far (a failed read, or a file that shrank).
bool sumFileBytes(platform::FileHandle file, std::uint32_t length, std::uint32_t& sum);
