// The check of the image file named on the command line.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Which check an image failed, for telling a person.
enum class ImageProblem {
    None,
    NoName,         // no image named
    CannotOpen,     // missing, unreadable, or not a regular file
    Empty,          // no byte at all
    TooShort,       // too short for a length field and a sum
    TooLarge,       // larger than a 32-bit length can describe
    LengthTooLong,  // the length field asks for more than the file holds
    BadLayout,      // the bytes around the payload fit no header
    SumWrong,       // the byte sum does not match the payload
    ReadFailed,     // a read failed part way
};

// The image length value (payload length + 8; the file size for an irdeto
// image) on success, 0 on failure. imageType and bootloaderId are written on
// success only. Prints nothing.
std::uint32_t checkImageFile(const char* path, std::uint8_t& imageType, std::uint32_t& bootloaderId, int irdeto);
// The same, telling which check failed.
std::uint32_t checkImageFile(const char* path, std::uint8_t& imageType, std::uint32_t& bootloaderId, int irdeto,
                             ImageProblem& problem);

// Sums the next `length` bytes of the file, read through the scratch buffer in
// chunks so the image is never held in memory whole. false when the file
// cannot be read that far (a failed read, or a file that shrank).
bool sumFileBytes(platform::FileHandle file, std::uint32_t length, std::uint32_t& sum);
