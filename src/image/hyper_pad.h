// The hyper bootloader the program carries, and the file it is handed over in.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t kHyperBootloaderSize = 35632;
extern const std::uint8_t hyperBootloaderPayload[kHyperBootloaderSize];

inline constexpr const char* kHyperPadFileName = "hyper.pad";

// Writes hyper.pad in the current directory: 1 when written completely and
// closed, 0 otherwise. Prints nothing.
int writeHyperPad(std::uint8_t modeByte);
