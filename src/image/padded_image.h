// The padded image format shared by the image file, hyper.pad and the
// compressed frame: length, header extension, payload, byte sum.
#pragma once

#include <cstdint>

inline std::uint32_t readBigEndian32(const std::uint8_t* bytes) {
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) | (std::uint32_t{bytes[2]} << 8) |
           std::uint32_t{bytes[3]};
}

inline void writeBigEndian32(std::uint8_t* bytes, std::uint32_t value) {
    bytes[0] = static_cast<std::uint8_t>(value >> 24);
    bytes[1] = static_cast<std::uint8_t>(value >> 16);
    bytes[2] = static_cast<std::uint8_t>(value >> 8);
    bytes[3] = static_cast<std::uint8_t>(value);
}

// Adds every byte, as a value 0 to 255, to the sum, modulo 2^32.
inline std::uint32_t addByteSum(std::uint32_t sum, const std::uint8_t* bytes, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) sum += bytes[i];
    return sum;
}
