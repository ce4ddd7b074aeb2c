// The check of the image file named on the command line.
#pragma once

#include <cstdint>

// The image length value (payload length + 8; the file size for an irdeto
// image) on success, 0 on failure. imageType and bootloaderId are written on
// success only. Prints nothing.
std::uint32_t checkImageFile(const char* path, std::uint8_t& imageType, std::uint32_t& bootloaderId, int irdeto);
