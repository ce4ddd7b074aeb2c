// What hyper.pad must hold, built from the embedded payload independently of
// the code that writes it.
#pragma once

#include <cstdint>
#include <vector>

#include "image/hyper_pad.h"
#include "support/image_bytes.h"

using Bytes = std::vector<std::uint8_t>;
using test_support::paddedImage;

inline Bytes expectedHyperPad(std::uint8_t mode) {
    return paddedImage(Bytes(hyperBootloaderPayload, hyperBootloaderPayload + 35632), mode != 0 ? Bytes{mode} : Bytes{});
}
