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

// A padded image: payload length, the header extension, the payload and its
// byte sum, the numbers big-endian.
inline Bytes paddedImage(const std::uint8_t* payload, std::uint32_t length, const Bytes& extension = {}) {
    Bytes out;
    appendBigEndian(out, length);
    out.insert(out.end(), extension.begin(), extension.end());
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < length; ++i) {
        out.push_back(payload[i]);
        sum += payload[i];
    }
    appendBigEndian(out, sum);
    return out;
}

inline Bytes expectedHyperPad(std::uint8_t mode) {
    return paddedImage(hyperBootloaderPayload, 35632, mode != 0 ? Bytes{mode} : Bytes{});
}
