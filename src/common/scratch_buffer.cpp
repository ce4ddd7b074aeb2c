#include "common/scratch_buffer.h"

std::uint8_t scratchBuffer[kScratchBufferSize];
