// One buffer, used in turn by the reply matcher, the image check, the block
// being sent and the short texts written to the box.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t kScratchBufferSize = 10240;
extern std::uint8_t scratchBuffer[kScratchBufferSize];
