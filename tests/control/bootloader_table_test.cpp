#include <gtest/gtest.h>

#include "control/bootloader_table.h"
#include "procedures/procedures.h"
#include "support/bootloader_rows.h"

namespace {

using test_support::ExpectedProcedure;
using test_support::kExpectedRows;

static_assert(test_support::kExpectedRowCount == kSupportedBootloaderCount);

UpdateProcedure procedureOf(ExpectedProcedure procedure) {
    switch (procedure) {
        case ExpectedProcedure::Bootloader14: return updateBootloader14;
        case ExpectedProcedure::Bootloader15: return updateBootloader15;
        case ExpectedProcedure::Bootloader16: return updateBootloader16;
        case ExpectedProcedure::Bootloader17: return updateBootloader17;
        case ExpectedProcedure::Bootloader18: return updateBootloader18;
        case ExpectedProcedure::Generation2: return updateGeneration2;
        case ExpectedProcedure::Generation4Type4: return updateGeneration4Type4;
        case ExpectedProcedure::Generation4Type5: return updateGeneration4Type5;
        case ExpectedProcedure::Generation4Type6: return updateGeneration4Type6;
        case ExpectedProcedure::Dated: return updateDated;
    }
    return nullptr;
}

const SupportedBootloader* find(const char* boxVersion, std::uint8_t& imageType, std::uint32_t& imageId,
                                bool overrideImageHeader = false) {
    return findUpdateProcedure(parseVersion(boxVersion), imageType, imageId, overrideImageHeader);
}

std::ptrdiff_t rowNumber(const SupportedBootloader* row) { return row - SupportedBootloaderTable + 1; }

}  // namespace

TEST(BootloaderTable, EveryPairingFindsItsProcedureAndEndsWithAnEmptyRow) {
    for (int i = 0; i < kSupportedBootloaderCount; ++i) {
        const test_support::ExpectedRow& expected = kExpectedRows[i];
        std::uint8_t imageType = expected.imageType;
        std::uint32_t imageId = 0x1234;
        const SupportedBootloader* row = find(expected.version, imageType, imageId);
        ASSERT_NE(row, nullptr) << expected.version << " type " << int{expected.imageType};
        EXPECT_EQ(rowNumber(row), i + 1) << expected.version << " type " << int{expected.imageType};
        EXPECT_EQ(row->procedure, procedureOf(expected.procedure)) << "row " << i + 1;
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
