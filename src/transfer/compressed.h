// Compressing an image on the fly and streaming it in a padded frame.
#pragma once

#include <cstdint>

#include "platform/platform.h"

using platform::PortHandle;

inline constexpr std::uint32_t kCompressionBufferSize = 4194304;

// 1 when the whole frame was handed to the port; 0 on failure with the status
// in the last error. Never closes the port.
int sendFileCompressed(PortHandle port, const char* fileName, int imageType, std::uint32_t bootloaderId,
                       std::uint32_t timeLimitMs, int showProgress, int overrideHeader);
