// readPacked against the box's decoder: whatever a file holds, packing it and
// decoding the result gives it back, ending on a proper fill; and whatever
// bytes reach the decoder, it decodes them without fault, and packing what it
// decoded gives back the very bits it took.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "packed_decoder.h"
#include "transfer/packing.h"

namespace {

// Reads the whole file through readPacked in blocks of blockSize bytes.
std::vector<std::uint8_t> readAll(const std::string& path, std::uint32_t blockSize, int packed,
                                  std::uint64_t& consumedTotal) {
    std::vector<std::uint8_t> out;
    std::vector<std::uint8_t> block(blockSize + 1);
    platform::FileHandle file = platform::openFileForReading(path.c_str());
    FUZZ_REQUIRE(file != platform::kInvalidFile);
    consumedTotal = 0;
    constexpr std::uint8_t kGuard = 0xA5;
    for (;;) {
        block[blockSize] = kGuard;
        std::uint32_t produced = 0;
        std::uint32_t consumed = 0;
        FUZZ_REQUIRE(readPacked(file, block.data(), blockSize, produced, consumed, packed) == 1);
        FUZZ_REQUIRE(produced <= blockSize);
        FUZZ_REQUIRE(block[blockSize] == kGuard);
        consumedTotal += consumed;
        if (produced == 0) break;
        out.insert(out.end(), block.begin(), block.begin() + produced);
    }
    platform::closeFile(file);
    return out;
}

std::uint32_t blockSizeOf(std::uint8_t choice) {
    // Mostly small blocks, so codes straddle block ends; now and then the
    // transfer's own block of 10240 bytes.
    return choice >= 0xF0 ? 10240 : 1u + choice % 40;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FUZZ_REQUIRE(sim::PackedDecoder::treeIsComplete());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::InputReader input(data, size);
    const std::uint32_t blockSize = blockSizeOf(input.byte());
    const std::vector<std::uint8_t> content = input.rest();

    // Round trip: the file packed by the program, unpacked by the box.
    const std::string path = fuzz::writeScratchFile("plain.bin", content.data(), content.size());
    resetPacking();
    std::uint64_t consumed = 0;
    const std::vector<std::uint8_t> packed = readAll(path, blockSize, 1, consumed);
    FUZZ_REQUIRE(consumed == content.size());
    bool fillOk = false;
    FUZZ_REQUIRE(sim::unpackStream(packed, fillOk) == content);
    FUZZ_REQUIRE(fillOk);

    // Unpacked reading hands the file over as it is.
    FUZZ_REQUIRE(readAll(path, blockSize, 0, consumed) == content);
    FUZZ_REQUIRE(consumed == content.size());

    // The box's decoder over arbitrary bytes. The code is complete, so every
    // bit string is a sequence of codes and a rest shorter than the longest.
    sim::PackedDecoder decoder;
    decoder.feed(content.data(), content.size());
    FUZZ_REQUIRE(!decoder.broken());
    FUZZ_REQUIRE(decoder.pendingBits() < 13);
    const std::vector<std::uint8_t> decoded = decoder.output();
    const std::string decodedPath = fuzz::writeScratchFile("decoded.bin", decoded.data(), decoded.size());
    const std::vector<std::uint8_t> repacked = readAll(decodedPath, blockSize, 1, consumed);
    const std::uint64_t bits = content.size() * 8 - decoder.pendingBits();
    FUZZ_REQUIRE(repacked.size() == (bits + 7) / 8);
    for (std::uint64_t bit = 0; bit < bits; ++bit) {
        const int mask = 0x80 >> (bit % 8);
        FUZZ_REQUIRE((repacked[bit / 8] & mask) == (content[bit / 8] & mask));
    }
    return 0;
}
