// Unpacks a bzip2 stream in the test itself, so checking what the program
// compressed needs no bzip2 command (there is none on Windows).
#pragma once

#ifdef _WIN32
// bzlib.h includes <windows.h> there; keep its min and max macros out.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#endif
#include <bzlib.h>

#include <cstdint>
#include <vector>

namespace test_support {

// The whole unpacked stream, or nothing when it is not one complete bzip2 stream.
inline std::vector<std::uint8_t> bunzip2(const std::vector<std::uint8_t>& packed) {
    bz_stream stream{};
    if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) return {};
    std::vector<std::uint8_t> unpacked;
    std::vector<char> input(packed.begin(), packed.end());
    char chunk[65536];
    stream.next_in = input.data();
    stream.avail_in = static_cast<unsigned>(input.size());
    int status = BZ_OK;
    while (status == BZ_OK) {
        stream.next_out = chunk;
        stream.avail_out = sizeof chunk;
        status = BZ2_bzDecompress(&stream);
        unpacked.insert(unpacked.end(), chunk, chunk + (sizeof chunk - stream.avail_out));
        // Input used up before the end of the stream: it was cut short.
        if (status == BZ_OK && stream.avail_in == 0 && stream.avail_out != 0) status = BZ_UNEXPECTED_EOF;
    }
    BZ2_bzDecompressEnd(&stream);
    if (status != BZ_STREAM_END) return {};
    return unpacked;
}

}  // namespace test_support
