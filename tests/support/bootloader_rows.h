// Every supported pairing of boot loader and image type, as documented for
// the users, in the order of the program's table: what the table's own tests
// and the end-to-end run of every row expect. Written out here, not read from
// the program, so that a row changed there shows as a difference here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace test_support {

// The update procedure a row must lead to.
enum class ExpectedProcedure {
    Bootloader14,
    Bootloader15,
    Bootloader16,
    Bootloader17,
    Bootloader18,
    Generation2,
    Generation4Type4,
    Generation4Type5,
    Generation4Type6,
    Dated,
};

struct ExpectedRow {
    const char* version;
    std::uint8_t imageType;
    ExpectedProcedure procedure;
};

namespace rows {
using enum ExpectedProcedure;
inline constexpr ExpectedRow kExpectedRows[] = {
    {"1.4", 0, Bootloader14},       {"1.5", 0, Bootloader15},       {"1.6", 0, Bootloader16},
    {"1.7", 1, Bootloader17},       {"1.8", 0, Bootloader18},       {"1.9", 1, Bootloader17},
    {"2.0", 2, Generation2},        {"2.1", 2, Generation2},        {"2.2", 2, Generation2},
    {"3.1", 2, Generation2},        {"3.2", 2, Generation2},        {"3.3", 2, Generation2},
    {"4.1", 2, Generation2},        {"4.2", 4, Generation4Type4},   {"4.3", 4, Generation4Type4},
    {"4.4", 4, Generation4Type4},   {"4.5", 4, Generation4Type4},   {"4.6", 5, Generation4Type5},
    {"4.7", 5, Generation4Type5},   {"4.8", 4, Generation4Type4},   {"4.9", 4, Generation4Type4},
    {"4.10", 4, Generation4Type4},  {"4.11", 7, Dated},             {"4.11", 8, Dated},
    {"4.11", 9, Dated},             {"4.12", 7, Dated},             {"4.12", 8, Dated},
    {"4.12", 9, Dated},             {"4.13", 7, Dated},             {"4.13", 8, Dated},
    {"4.13", 9, Dated},             {"4.14", 5, Generation4Type5},  {"4.15", 4, Generation4Type4},
    {"4.16", 4, Generation4Type4},  {"4.17", 4, Generation4Type4},  {"4.18", 4, Generation4Type4},
    {"4.19", 4, Generation4Type4},  {"4.20", 4, Generation4Type4},  {"4.21", 18, Generation4Type4},
    {"4.22", 18, Generation4Type4}, {"4.23", 18, Generation4Type4}, {"4.24", 18, Generation4Type4},
    {"4.25", 4, Generation4Type4},  {"4.26", 4, Generation4Type4},  {"4.27", 4, Generation4Type4},
    {"4.28", 4, Generation4Type4},  {"4.29", 4, Generation4Type4},  {"4.90", 4, Generation4Type4},
    {"4.91", 4, Generation4Type4},  {"4.99", 6, Generation4Type6},
};
}  // namespace rows
using rows::kExpectedRows;

inline constexpr std::size_t kExpectedRowCount = sizeof kExpectedRows / sizeof kExpectedRows[0];
static_assert(kExpectedRowCount == 50);

// Row numbers count from 1, as the users' documentation does.
inline int rowNumberOf(const ExpectedRow& row) { return static_cast<int>(&row - kExpectedRows) + 1; }

}  // namespace test_support
