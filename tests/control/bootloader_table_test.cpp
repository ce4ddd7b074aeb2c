#include <gtest/gtest.h>

#include "control/bootloader_table.h"
#include "procedures/procedures.h"

namespace {

struct ExpectedRow {
    const char* version;
    std::uint8_t imageType;
    UpdateProcedure procedure;
};

// Every supported pairing of boot loader and image type, as documented for the users.
const ExpectedRow kExpectedRows[kSupportedBootloaderCount] = {
    {"1.4", 0, updateBootloader14},      {"1.5", 0, updateBootloader15},      {"1.6", 0, updateBootloader16},
    {"1.7", 1, updateBootloader17},      {"1.8", 0, updateBootloader18},      {"1.9", 1, updateBootloader17},
    {"2.0", 2, updateGeneration2},       {"2.1", 2, updateGeneration2},       {"2.2", 2, updateGeneration2},
    {"3.1", 2, updateGeneration2},       {"3.2", 2, updateGeneration2},       {"3.3", 2, updateGeneration2},
    {"4.1", 2, updateGeneration2},       {"4.2", 4, updateGeneration4Type4},  {"4.3", 4, updateGeneration4Type4},
    {"4.4", 4, updateGeneration4Type4},  {"4.5", 4, updateGeneration4Type4},  {"4.6", 5, updateGeneration4Type5},
    {"4.7", 5, updateGeneration4Type5},  {"4.8", 4, updateGeneration4Type4},  {"4.9", 4, updateGeneration4Type4},
    {"4.10", 4, updateGeneration4Type4}, {"4.11", 7, updateDated},            {"4.11", 8, updateDated},
    {"4.11", 9, updateDated},            {"4.12", 7, updateDated},            {"4.12", 8, updateDated},
    {"4.12", 9, updateDated},            {"4.13", 7, updateDated},            {"4.13", 8, updateDated},
    {"4.13", 9, updateDated},            {"4.14", 5, updateGeneration4Type5}, {"4.15", 4, updateGeneration4Type4},
    {"4.16", 4, updateGeneration4Type4}, {"4.17", 4, updateGeneration4Type4}, {"4.18", 4, updateGeneration4Type4},
    {"4.19", 4, updateGeneration4Type4}, {"4.20", 4, updateGeneration4Type4}, {"4.21", 18, updateGeneration4Type4},
    {"4.22", 18, updateGeneration4Type4}, {"4.23", 18, updateGeneration4Type4},
    {"4.24", 18, updateGeneration4Type4}, {"4.25", 4, updateGeneration4Type4},
    {"4.26", 4, updateGeneration4Type4}, {"4.27", 4, updateGeneration4Type4}, {"4.28", 4, updateGeneration4Type4},
    {"4.29", 4, updateGeneration4Type4}, {"4.90", 4, updateGeneration4Type4}, {"4.91", 4, updateGeneration4Type4},
    {"4.99", 6, updateGeneration4Type6},
};

const SupportedBootloader* find(const char* boxVersion, std::uint8_t& imageType, std::uint32_t& imageId,
                                bool overrideImageHeader = false) {
    return findUpdateProcedure(parseVersion(boxVersion), imageType, imageId, overrideImageHeader);
}

std::ptrdiff_t rowNumber(const SupportedBootloader* row) { return row - SupportedBootloaderTable + 1; }

}  // namespace

TEST(BootloaderTable, EveryPairingFindsItsProcedureAndEndsWithAnEmptyRow) {
    for (int i = 0; i < kSupportedBootloaderCount; ++i) {
        const ExpectedRow& expected = kExpectedRows[i];
        std::uint8_t imageType = expected.imageType;
        std::uint32_t imageId = 0x1234;
        const SupportedBootloader* row = find(expected.version, imageType, imageId);
        ASSERT_NE(row, nullptr) << expected.version << " type " << int{expected.imageType};
        EXPECT_EQ(rowNumber(row), i + 1) << expected.version << " type " << int{expected.imageType};
        EXPECT_EQ(row->procedure, expected.procedure) << "row " << i + 1;
        EXPECT_EQ(imageType, expected.imageType);
        EXPECT_EQ(imageId, 0x1234u) << "without -x the image id stays";
    }
    EXPECT_EQ(SupportedBootloaderTable[kSupportedBootloaderCount].procedure, nullptr);
}

TEST(BootloaderTable, VersionAloneIsNotEnoughWithoutOverride) {
    std::uint32_t imageId = 0;
    std::uint8_t imageType = 4;
    EXPECT_EQ(find("4.21", imageType, imageId), nullptr);
    imageType = 18;
    EXPECT_EQ(find("4.2", imageType, imageId), nullptr);
    // 4.1 and 4.10 are different boot loaders.
    imageType = 4;
    EXPECT_EQ(rowNumber(find("4.10", imageType, imageId)), 22);
    EXPECT_EQ(find("4.1", imageType, imageId), nullptr);
    imageType = 2;
    EXPECT_EQ(rowNumber(find("4.1", imageType, imageId)), 13);
    EXPECT_EQ(find("4.10", imageType, imageId), nullptr);
    // No row takes image type 3, and no row knows 5.0.
    for (const char* version : {"1.4", "2.0", "4.1", "4.2", "4.99", "5.0"}) {
        imageType = 3;
        EXPECT_EQ(find(version, imageType, imageId), nullptr) << version;
    }
    imageType = 4;
    EXPECT_EQ(find("5.0", imageType, imageId), nullptr);
}

TEST(BootloaderTable, OverrideTakesTheFirstRowOfTheBoxVersionAndItsType) {
    std::uint8_t imageType = 4;
    std::uint32_t imageId = 0x40002;
    const SupportedBootloader* row = find("4.21", imageType, imageId, true);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(rowNumber(row), 39);
    EXPECT_EQ(imageType, 18);
    EXPECT_EQ(imageId, 4u * 65536u + 21u);

    imageType = 9;
    imageId = 0;
    row = find("4.12", imageType, imageId, true);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(rowNumber(row), 26);
    EXPECT_EQ(imageType, 7);
    EXPECT_EQ(imageId, 0x4000Cu);

    imageType = 0;
    row = find("1.9", imageType, imageId, true);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->procedure, updateBootloader17);
    EXPECT_EQ(imageType, 1);

    imageType = 4;
    EXPECT_EQ(find("5.0", imageType, imageId, true), nullptr);
}
