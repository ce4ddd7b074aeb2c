// Collecting the box's replies until an awaited text arrives, watching for the
// box's error marker.
#pragma once

#include <cstdint>

#include "platform/platform.h"

using platform::PortHandle;

// 1 when the text arrived before any error marker; 0 with UPD_ERR_REPLY_OVERFLOW,
// UPD_ERR_TIMEOUT, UPD_ERR_BOX_ERROR (after showing the box's error line) or the
// system's code of a failed read. limitMs 0 means no limit.
int waitFor(PortHandle port, const char* text, std::uint32_t limitMs);
