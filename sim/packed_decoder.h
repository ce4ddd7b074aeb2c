// Unpacking the prefix-coded stream the box receives from generation 2 loaders
// and the hyper bootloader. Built from the code's bit strings as text, apart
// from the program's own encoder table, so the two can check each other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

// The 256 codes by byte value, first bit leftmost.
extern const char* const kPackedCodeBits[256];

class PackedDecoder {
public:
    PackedDecoder();

    // Takes one byte of the stream, most significant bit first; decoded bytes
    // are appended to output().
    void feed(std::uint8_t byte);
    void feed(const std::uint8_t* bytes, std::size_t count);

    const std::vector<std::uint8_t>& output() const { return output_; }
    std::vector<std::uint8_t> takeOutput();

    // Bits taken since the last complete code.
    unsigned pendingBits() const { return pendingBits_; }
    // true where the stream may end: the bits after the last complete code are
    // fewer than 8 and all ones, the fill of the last byte.
    bool atFillEnd() const { return pendingBits_ < 8 && pendingAllOnes_; }
    // true once a bit led nowhere in the tree (cannot happen with a complete
    // code; a transcription error in the bit strings would show here).
    bool broken() const { return broken_; }

    // Whether the bit strings formed a proper tree: no code a prefix of
    // another, no code twice, every inner node with two children.
    static bool treeIsComplete();

private:
    std::size_t node_;
    unsigned pendingBits_ = 0;
    bool pendingAllOnes_ = true;
    bool broken_ = false;
    std::vector<std::uint8_t> output_;
};

// Unpacks a whole stream; fillOk tells whether it ended on a proper fill.
std::vector<std::uint8_t> unpackStream(const std::vector<std::uint8_t>& stream, bool& fillOk);

}  // namespace sim
