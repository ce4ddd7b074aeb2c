// What hyper.pad must hold, built from the embedded payload independently of
// the code that writes it.
#pragma once

#include <cstdint>
#include <vector>

#include "image/hyper_pad.h"

using Bytes = std::vector<std::uint8_t>;

inline void appendBigEndian(Bytes& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

inline Bytes expectedHyperPad(std::uint8_t mode) {
    Bytes out;
    appendBigEndian(out, 35632);
    if (mode != 0) out.push_back(mode);
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < 35632; ++i) {
        out.push_back(hyperBootloaderPayload[i]);
        sum += hyperBootloaderPayload[i];
    }
    appendBigEndian(out, sum);
    return out;
}
