// Payloads for test images: the same bytes for the same seed on every run and
// every system, so a size that depends on them (a compressed frame's length)
// stays what the test says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
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

// About half the bytes zero, the rest spread over all values: as real images
// are. The recorded traces' images are made of these bytes.
inline std::vector<std::uint8_t> samplePayload(std::size_t count, std::uint32_t seed = 1) {
    std::vector<std::uint8_t> bytes(count);
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = (state >> 16) % 2 == 0 ? 0 : static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}

// A fixed pattern, every third byte zero, the others i * step + i / 7: the
// box model's tests whose packed streams end at a known bit depend on it.
inline std::vector<std::uint8_t> patternBytes(std::size_t count, unsigned step) {
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = i % 3 == 0 ? 0 : static_cast<std::uint8_t>(i * step + i / 7);
    return bytes;
}

// Words and line ends, which bzip2 shrinks well.
inline std::vector<std::uint8_t> textLikeBytes(std::size_t count, std::uint32_t seed) {
    static const char* const words[] = {"flash ", "block ", "box ", "loader ", "image ", "\n", "0x1F ", "menu "};
    std::vector<std::uint8_t> bytes;
    std::uint32_t state = seed;
    while (bytes.size() < count) {
        state = state * 1664525u + 1013904223u;
        const std::string_view word = words[state >> 29];
        bytes.insert(bytes.end(), word.begin(), word.end());
    }
    bytes.resize(count);
    return bytes;
}

}  // namespace test_support
