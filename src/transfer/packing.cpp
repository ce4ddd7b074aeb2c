#include "transfer/packing.h"

#include "common/status.h"

// Indexed by the byte value: {bit length, code bits right-aligned}. The code
// is a complete prefix code; 0x00, the commonest byte of an image, has 2 bits.
const PackingCode packingCodeTable[256] = {
    /* 0x00 */ {2, 0x0}, {6, 0x19}, {7, 0x40}, {5, 0xD}, {7, 0x49}, {7, 0x53}, {8, 0xB5}, {8, 0xC3},
    /* 0x08 */ {6, 0x21}, {8, 0xBB}, {9, 0x1B1}, {10, 0x3B0}, {8, 0xBC}, {10, 0x381}, {9, 0x195}, {7, 0x41},
    /* 0x10 */ {5, 0xB}, {7, 0x4D}, {9, 0x194}, {9, 0x198}, {6, 0x27}, {9, 0x1C1}, {9, 0x1BC}, {9, 0x1B3},
    /* 0x18 */ {6, 0x23}, {8, 0xA4}, {10, 0x3E3}, {10, 0x3C6}, {8, 0xB2}, {12, 0xFC0}, {9, 0x1BD}, {10, 0x3C7},
    /* 0x20 */ {5, 0x9}, {5, 0x8}, {10, 0x3BC}, {10, 0x3A0}, {5, 0xA}, {8, 0xC6}, {9, 0x1B6}, {7, 0x45},
    /* 0x28 */ {7, 0x55}, {11, 0x7D2}, {9, 0x1B7}, {10, 0x398}, {8, 0xBD}, {10, 0x3DD}, {8, 0xDF}, {10, 0x3B1},
    /* 0x30 */ {7, 0x51}, {9, 0x1CE}, {10, 0x3B3}, {9, 0x1C3}, {8, 0xA9}, {10, 0x3D6}, {11, 0x7C3}, {9, 0x1A0},
    /* 0x38 */ {7, 0x57}, {8, 0xCE}, {11, 0x7F3}, {11, 0x7F7}, {8, 0xA0}, {10, 0x3E7}, {11, 0x7B9}, {10, 0x3CA},
    /* 0x40 */ {8, 0xA5}, {10, 0x3A9}, {8, 0xCF}, {11, 0x781}, {9, 0x1B9}, {10, 0x399}, {11, 0x7D4}, {11, 0x7DB},
    /* 0x48 */ {9, 0x1D3}, {10, 0x3C2}, {11, 0x7E4}, {10, 0x3B4}, {9, 0x1D5}, {9, 0x1A1}, {9, 0x1D7}, {9, 0x1C7},
    /* 0x50 */ {9, 0x1BA}, {12, 0xFE1}, {9, 0x1CD}, {9, 0x1C6}, {9, 0x1AC}, {10, 0x3B5}, {10, 0x3C4}, {12, 0xFD1},
    /* 0x58 */ {10, 0x3A1}, {10, 0x3A8}, {12, 0xFED}, {11, 0x7E9}, {10, 0x3E5}, {12, 0xFE0}, {11, 0x7DA}, {10, 0x3BD},
    /* 0x60 */ {8, 0xB8}, {7, 0x5B}, {10, 0x3C9}, {10, 0x390}, {9, 0x199}, {8, 0xB3}, {11, 0x7B8}, {10, 0x3B9},
    /* 0x68 */ {10, 0x3A4}, {9, 0x188}, {11, 0x7E7}, {9, 0x1D1}, {9, 0x190}, {9, 0x1DD}, {9, 0x181}, {8, 0xC9},
    /* 0x70 */ {9, 0x180}, {10, 0x3EB}, {8, 0xC5}, {9, 0x1B8}, {8, 0xBF}, {9, 0x1CA}, {10, 0x3DE}, {11, 0x7E5},
    /* 0x78 */ {9, 0x1A4}, {11, 0x780}, {11, 0x7EB}, {12, 0xFF5}, {10, 0x3D4}, {12, 0xFF7}, {11, 0x7D1}, {10, 0x3B8},
    /* 0x80 */ {7, 0x48}, {10, 0x3D2}, {10, 0x3C3}, {10, 0x3AD}, {8, 0xC1}, {9, 0x1DB}, {8, 0xC2}, {8, 0xCB},
    /* 0x88 */ {9, 0x1C5}, {12, 0xFD8}, {10, 0x3D9}, {11, 0x7E1}, {9, 0x191}, {10, 0x391}, {8, 0xBA}, {6, 0x18},
    /* 0x90 */ {9, 0x1B5}, {11, 0x7D9}, {10, 0x3D7}, {10, 0x3D1}, {10, 0x3B2}, {12, 0xFE5}, {10, 0x3D5}, {11, 0x7C0},
    /* 0x98 */ {9, 0x1B0}, {8, 0xBE}, {13, 0x1FF1}, {13, 0x1FF0}, {11, 0x7C8}, {12, 0xFFB}, {11, 0x7C9}, {7, 0x4C},
    /* 0xA0 */ {8, 0xA8}, {10, 0x380}, {10, 0x3C1}, {9, 0x1C2}, {9, 0x1A2}, {9, 0x1AD}, {10, 0x3CC}, {10, 0x3C5},
    /* 0xA8 */ {9, 0x1BB}, {12, 0xFF1}, {11, 0x7EE}, {11, 0x7EF}, {9, 0x1B4}, {10, 0x3C8}, {9, 0x1AB}, {5, 0xF},
    /* 0xB0 */ {9, 0x1AA}, {11, 0x7B0}, {11, 0x7A1}, {10, 0x3CB}, {9, 0x1CF}, {9, 0x1C4}, {9, 0x1B2}, {12, 0xFF2},
    /* 0xB8 */ {8, 0xD3}, {8, 0xC7}, {13, 0x1FFC}, {12, 0xFFD}, {10, 0x3EF}, {8, 0xB1}, {8, 0xCD}, {8, 0xB0},
    /* 0xC0 */ {7, 0x44}, {11, 0x7C2}, {10, 0x3D3}, {10, 0x3DA}, {9, 0x1A8}, {11, 0x7C4}, {9, 0x1CB}, {10, 0x3CF},
    /* 0xC8 */ {8, 0xB4}, {11, 0x7E3}, {12, 0xFD0}, {8, 0xB9}, {9, 0x1A3}, {11, 0x7DD}, {9, 0x1C9}, {9, 0x1DF},
    /* 0xD0 */ {10, 0x3CE}, {13, 0x1FF5}, {13, 0x1FF4}, {12, 0xFEC}, {11, 0x7D3}, {11, 0x7EA}, {10, 0x3DF}, {13, 0x1FF9},
    /* 0xD8 */ {9, 0x1A9}, {9, 0x1A5}, {12, 0xFFF}, {13, 0x1FFD}, {11, 0x7E2}, {13, 0x1FF8}, {10, 0x3AC}, {12, 0xFF4},
    /* 0xE0 */ {6, 0x25}, {11, 0x7D8}, {12, 0xFF3}, {11, 0x7DC}, {10, 0x3DB}, {11, 0x7ED}, {11, 0x7F5}, {11, 0x7C5},
    /* 0xE8 */ {11, 0x7B1}, {12, 0xFE8}, {12, 0xFF6}, {12, 0xFF9}, {11, 0x7CD}, {12, 0xFE4}, {11, 0x7CC}, {10, 0x3CD},
    /* 0xF0 */ {7, 0x56}, {8, 0xA1}, {8, 0xD7}, {12, 0xFE9}, {11, 0x7D0}, {12, 0xFF0}, {11, 0x7D5}, {12, 0xFD9},
    /* 0xF8 */ {9, 0x189}, {11, 0x7C1}, {11, 0x7F1}, {12, 0xFC1}, {10, 0x3A5}, {11, 0x7E6}, {11, 0x7A0}, {5, 0xE},
};

namespace {

// The bits not yet emitted, from the top of the accumulator down. It lives
// across calls so a code may straddle two blocks of the same file.
struct PackingState {
    std::int32_t freeBits = 32;
    std::uint32_t accumulator = 0;
};
PackingState packing;

int readPlain(platform::FileHandle file, std::uint8_t* out, std::uint32_t count, std::uint32_t& produced,
              std::uint32_t& consumed) {
    std::uint32_t received = 0;
    const bool ok = platform::readFile(file, out, count, received);
    produced = received;
    consumed = received;
    return ok ? 1 : 0;
}

void emitTopByte(std::uint8_t* out, std::uint32_t& produced) {
    out[produced++] = static_cast<std::uint8_t>(packing.accumulator >> 24);
    packing.accumulator <<= 8;
    packing.freeBits += 8;
}

}  // namespace

void resetPacking() { packing = PackingState{}; }

int readPacked(platform::FileHandle file, std::uint8_t* out, std::uint32_t count, std::uint32_t& produced,
               std::uint32_t& consumed, int packed) {
    if (packed == 0) {
        if (count == 0) {
            produced = 0;
            consumed = 0;
            return 1;
        }
        return readPlain(file, out, count, produced, consumed);
    }

    produced = 0;
    consumed = 0;
    if (count == 0) return 1;
    for (;;) {
        while (packing.freeBits <= 24 && produced < count) emitTopByte(out, produced);
        if (produced == count) return 1;

        std::uint8_t byte = 0;
        std::uint32_t received = 0;
        if (!platform::readFile(file, &byte, 1, received)) return 0;
        consumed += received;

        if (received == 0) {
            if (packing.freeBits < 32) {
                // Fill the last byte with ones after the final code.
                packing.accumulator |= (std::uint32_t{1} << packing.freeBits) - 1;
                out[produced++] = static_cast<std::uint8_t>(packing.accumulator >> 24);
            }
            resetPacking();
            return 1;
        }

        const PackingCode& code = packingCodeTable[byte];
        if (static_cast<std::int32_t>(code.length) > packing.freeBits) {
            platform::setLastError(UPD_ERR_CODE_TABLE);
            return 0;
        }
        packing.freeBits -= static_cast<std::int32_t>(code.length);
        packing.accumulator |= code.value << packing.freeBits;
    }
}
