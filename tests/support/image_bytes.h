// Images as a box expects them, built by the test itself: the padded image
// (length, header extension, payload, byte sum, numbers big-endian) and the
// compressed frame, a padded image whose payload is a bzip2 stream.
#pragma once

#include "support/bunzip2.h"  // bzlib.h, kept clear of <windows.h>'s macros

#include <cstdint>
#include <vector>

namespace test_support {

using Bytes = std::vector<std::uint8_t>;

inline void appendBig32(Bytes& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

inline Bytes paddedImage(const Bytes& payload, const Bytes& extension = {}) {
    Bytes out;
    // Reserved at once: one buffer, and mingw's GCC 12 then sees no
    // (false) read past a reallocated one.
    out.reserve(8 + extension.size() + payload.size());
    appendBig32(out, static_cast<std::uint32_t>(payload.size()));
    out.insert(out.end(), extension.begin(), extension.end());
    out.insert(out.end(), payload.begin(), payload.end());
    std::uint32_t sum = 0;
    for (const std::uint8_t byte : payload) sum += byte;
    appendBig32(out, sum);
    return out;
}

// The five-byte header extension: image type and image id.
inline Bytes typeAndId(std::uint8_t type, std::uint32_t id) {
    Bytes out{type};
    appendBig32(out, id);
    return out;
}

inline Bytes bzip2(const Bytes& data) {
    Bytes out(data.size() + data.size() / 50 + 1000);
    unsigned int size = static_cast<unsigned int>(out.size());
    Bytes in = data;
    if (BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &size, reinterpret_cast<char*>(in.data()),
                                 static_cast<unsigned int>(in.size()), 1, 0, 30) != BZ_OK)
        return {};
    out.resize(size);
    return out;
}

}  // namespace test_support
