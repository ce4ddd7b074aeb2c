#include <gtest/gtest.h>

#include "control/version.h"

TEST(ParseVersion, ReadsRevisionTableTextsAndRejectsIncompleteOnes) {
    EXPECT_EQ(parseVersion("$Revision: 1.39 $"), (BootloaderVersion{1, 39}));
    EXPECT_EQ(parseVersion("4.90"), (BootloaderVersion{4, 90}));
    EXPECT_EQ(parseVersion("4.01"), parseVersion("4.1"));
    EXPECT_NE(parseVersion("4.1"), parseVersion("4.10"));
    EXPECT_EQ(parseVersion("no numeral"), (BootloaderVersion{0, 0}));
    EXPECT_EQ(parseVersion("version 7"), (BootloaderVersion{0, 0}));
    EXPECT_EQ(parseVersion(nullptr), (BootloaderVersion{0, 0}));
}
