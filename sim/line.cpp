#include "line.h"

namespace simline {

std::uint8_t garble(std::uint8_t byte, std::uint32_t sentBaud, std::uint32_t listeningBaud) {
    // A real receiver samples the wrong bits and often sees a framing error; the
    // exact pattern depends on the byte and both speeds. A hash of the three
    // stands in for that.
    std::uint32_t h = byte * 0x9E3779B1u;
    h ^= sentBaud * 0x85EBCA77u;
    h ^= listeningBaud * 0xC2B2AE3Du;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 13;
    auto heard = static_cast<std::uint8_t>(0x80u | (h & 0x7Fu));
    if (heard == byte) heard ^= 0x01u;
    return heard;
}

}  // namespace simline
