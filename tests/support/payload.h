// Payloads for test images: the same bytes for the same seed on every run and
// every system, so a size that depends on them (a compressed frame's length)
// stays what the test says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace test_support {

// Bytes spread over all values, about zeroPercent of them zero.
inline std::vector<std::uint8_t> randomBytes(std::size_t count, std::uint32_t seed, unsigned zeroPercent = 0) {
    std::vector<std::uint8_t> bytes(count);
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = ((state >> 8) % 100 < zeroPercent) ? 0 : static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}

}  // namespace test_support
