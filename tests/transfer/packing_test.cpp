#include "transfer/packing.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "packed_decoder.h"
#include "common/status.h"
#include "support/payload.h"
#include "support/temp_directory.h"

namespace {

std::string bitsOf(const PackingCode& code) {
    std::string bits;
    for (std::uint32_t i = code.length; i-- > 0;) bits += ((code.value >> i) & 1) ? '1' : '0';
    return bits;
}

// Reads the whole file packed, asking for blocks of blockSize bytes.
std::vector<std::uint8_t> packFile(const std::string& path, std::uint32_t blockSize,
                                   std::uint32_t* totalConsumed = nullptr) {
    std::vector<std::uint8_t> stream;
    std::vector<std::uint8_t> block(blockSize);
    platform::FileHandle file = platform::openFileForReading(path.c_str());
    EXPECT_NE(file, platform::kInvalidFile);
    if (file == platform::kInvalidFile) return stream;
    std::uint32_t consumedSum = 0;
    for (;;) {
        std::uint32_t produced = 99, consumed = 99;
        EXPECT_EQ(readPacked(file, block.data(), blockSize, produced, consumed, 1), 1);
        consumedSum += consumed;
        if (produced == 0) break;
        stream.insert(stream.end(), block.begin(), block.begin() + produced);
    }
    platform::closeFile(file);
    if (totalConsumed) *totalConsumed = consumedSum;
    return stream;
}

class PackingTest : public ::testing::Test {
protected:
    void SetUp() override { resetPacking(); }
    std::vector<std::uint8_t> pack(const std::vector<std::uint8_t>& bytes, std::uint32_t blockSize = 10240) {
        return packFile(dir.write("file" + std::to_string(files++), bytes), blockSize);
    }
    test_support::TempDirectory dir{"update-transfer-"};
    int files = 0;
};

TEST(PackingCodeTable, IsACompletePrefixCodeWithTheDocumentedLengths) {
    std::map<std::uint32_t, int> perLength;
    std::uint64_t kraftSum = 0;  // in units of 2^-13
    for (const PackingCode& code : packingCodeTable) {
        ASSERT_GE(code.length, 2u);
        ASSERT_LE(code.length, 13u);
        ASSERT_LT(code.value, 1u << code.length);
        ++perLength[code.length];
        kraftSum += std::uint64_t{1} << (13 - code.length);
    }
    EXPECT_EQ(kraftSum, std::uint64_t{1} << 13);
    const std::map<std::uint32_t, int> expected = {{2, 1},   {5, 7},   {6, 6},   {7, 14},  {8, 34},
                                                   {9, 56},  {10, 57}, {11, 47}, {12, 26}, {13, 8}};
    EXPECT_EQ(perLength, expected);

    for (int a = 0; a < 256; ++a)
        for (int b = 0; b < 256; ++b) {
            if (a == b) continue;
            const PackingCode& shorter = packingCodeTable[a];
            const PackingCode& longer = packingCodeTable[b];
            if (shorter.length > longer.length) continue;
            EXPECT_NE(longer.value >> (longer.length - shorter.length), shorter.value)
                << "code of " << a << " is a prefix of the code of " << b;
        }
}

TEST(PackingCodeTable, AgreesWithTheDecodersBitStrings) {
    EXPECT_TRUE(sim::PackedDecoder::treeIsComplete());
    for (int byte = 0; byte < 256; ++byte) EXPECT_EQ(bitsOf(packingCodeTable[byte]), sim::kPackedCodeBits[byte]) << byte;
    EXPECT_EQ(bitsOf(packingCodeTable[0x00]), "00");
    EXPECT_EQ(bitsOf(packingCodeTable[0xFF]), "01110");
}

TEST_F(PackingTest, WorkedExamples) {
    EXPECT_EQ(pack({'a', 'b', 'c'}), (std::vector<std::uint8_t>{0xB7, 0xE4, 0xF2, 0x1F}));
    EXPECT_EQ(pack({0xFF}), (std::vector<std::uint8_t>{0x77}));
    EXPECT_EQ(pack({0x00}), (std::vector<std::uint8_t>{0x3F}));
    EXPECT_EQ(pack({0, 0, 0, 0}), (std::vector<std::uint8_t>{0x00}));
    EXPECT_EQ(pack({}), (std::vector<std::uint8_t>{}));
}

TEST_F(PackingTest, BlocksOfOneByteGiveTheSameStreamAsOneBigBlock) {
    const auto data = test_support::randomBytes(3000, 7, 40);
    const auto whole = pack(data, 10240);
    EXPECT_EQ(pack(data, 1), whole);
    EXPECT_EQ(pack(data, 3), whole);
    EXPECT_EQ(pack(data, 7), whole);
}

TEST_F(PackingTest, RoundTripsThroughTheIndependentDecoder) {
    for (std::uint32_t seed = 1; seed <= 40; ++seed) {
        const auto data = test_support::randomBytes(seed * 37, seed, seed % 3 == 0 ? 70 : 0);
        const auto stream = pack(data, seed % 2 ? 10240 : 5);
        bool fillOk = false;
        EXPECT_EQ(sim::unpackStream(stream, fillOk), data) << "seed " << seed;
        EXPECT_TRUE(fillOk) << "seed " << seed;
    }
    std::vector<std::uint8_t> everyByte(256);
    for (int i = 0; i < 256; ++i) everyByte[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(255 - i);
    bool fillOk = false;
    EXPECT_EQ(sim::unpackStream(pack(everyByte), fillOk), everyByte);
    EXPECT_TRUE(fillOk);
}

TEST_F(PackingTest, ConsumedCountsFileBytesNotPackedBytes) {
    // 8 zero bytes pack into 2 bytes: one call of 2 bytes takes all 8 and the end is not seen yet.
    const std::string path = dir.write("zeros", std::vector<std::uint8_t>(8, 0));
    platform::FileHandle file = platform::openFileForReading(path.c_str());
    ASSERT_NE(file, platform::kInvalidFile);
    std::uint8_t out[4] = {};
    std::uint32_t produced = 0, consumed = 0;
    ASSERT_EQ(readPacked(file, out, 2, produced, consumed, 1), 1);
    EXPECT_EQ(produced, 2u);
    EXPECT_EQ(consumed, 8u);
    ASSERT_EQ(readPacked(file, out, 2, produced, consumed, 1), 1);
    EXPECT_EQ(produced, 0u);
    EXPECT_EQ(consumed, 0u);
    platform::closeFile(file);

    // A byte of 0xFF's 5-bit code: two bytes give 10 bits, so two output bytes
    // come from a call that took two file bytes, the second mostly fill.
    std::uint32_t total = 0;
    EXPECT_EQ(packFile(dir.write("ff", {0xFF, 0xFF}), 1, &total), (std::vector<std::uint8_t>{0x73, 0xBF}));
    EXPECT_EQ(total, 2u);
}

TEST_F(PackingTest, CountZeroReadsNothingInBothModes) {
    const std::string path = dir.write("abc", {'a', 'b', 'c'});
    platform::FileHandle file = platform::openFileForReading(path.c_str());
    ASSERT_NE(file, platform::kInvalidFile);
    std::uint8_t out[16] = {};
    std::uint32_t produced = 7, consumed = 7;
    EXPECT_EQ(readPacked(file, out, 0, produced, consumed, 1), 1);
    EXPECT_EQ(produced + consumed, 0u);
    produced = consumed = 7;
    EXPECT_EQ(readPacked(file, out, 0, produced, consumed, 0), 1);
    EXPECT_EQ(produced + consumed, 0u);
    EXPECT_EQ(readPacked(file, out, 16, produced, consumed, 0), 1);
    EXPECT_EQ(produced, 3u);
    EXPECT_EQ(consumed, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 3), "abc");
    platform::closeFile(file);
}

TEST_F(PackingTest, ResetDropsTheBitsOfAFileThatWasNotReadToItsEnd) {
    const std::string first = dir.write("first", {'a', 'b', 'c'});
    platform::FileHandle file = platform::openFileForReading(first.c_str());
    ASSERT_NE(file, platform::kInvalidFile);
    std::uint8_t out[1];
    std::uint32_t produced = 0, consumed = 0;
    ASSERT_EQ(readPacked(file, out, 1, produced, consumed, 1), 1);  // bits of b and c stay pending
    platform::closeFile(file);

    resetPacking();
    EXPECT_EQ(pack({0xFF}), (std::vector<std::uint8_t>{0x77}));
}

TEST(PackedDecoder, TellsWhereTheFillEnds) {
    sim::PackedDecoder decoder;
    decoder.feed(0xB7);  // 1011011 (a) and the first bit of b
    EXPECT_EQ(decoder.output(), (std::vector<std::uint8_t>{'a'}));
    EXPECT_TRUE(decoder.atFillEnd());  // the one pending bit is a one: "a" alone would end here
    decoder.feed(0xE4);
    decoder.feed(0xF2);
    EXPECT_FALSE(decoder.atFillEnd());  // c's code is not complete yet
    decoder.feed(0x1F);
    EXPECT_EQ(decoder.output(), (std::vector<std::uint8_t>{'a', 'b', 'c'}));
    EXPECT_TRUE(decoder.atFillEnd());
    EXPECT_EQ(decoder.pendingBits(), 5u);

    sim::PackedDecoder exact;
    exact.feed(0x00);
    EXPECT_EQ(exact.output(), (std::vector<std::uint8_t>{0, 0, 0, 0}));
    EXPECT_TRUE(exact.atFillEnd());
    EXPECT_EQ(exact.pendingBits(), 0u);

    // Eight ones are no fill: the stream goes on inside a long code.
    sim::PackedDecoder ones;
    ones.feed(0xFF);
    EXPECT_TRUE(ones.output().empty());
    EXPECT_FALSE(ones.atFillEnd());
    EXPECT_FALSE(ones.broken());
}

}  // namespace
