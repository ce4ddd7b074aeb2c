// Reading a file plain or packed through the fixed 256-entry prefix code.
#pragma once

#include <cstdint>

#include "platform/platform.h"

struct PackingCode {
    std::uint32_t length;  // 2 to 13 bits
    std::uint32_t value;   // the bits right-aligned; the first bit is bit length-1
};
extern const PackingCode packingCodeTable[256];

// Fills out with up to count bytes. 1 on success (produced 0: the file is
// finished), 0 with the last error set.
int readPacked(platform::FileHandle file, std::uint8_t* out, std::uint32_t count, std::uint32_t& produced,
               std::uint32_t& consumed, int packed);

// Forgets pending bits, so a packed file that was not read to its end leaves
// nothing behind for the next one.
void resetPacking();
