// Collecting the box's replies until an awaited text arrives, watching for the
// box's error marker.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "platform/platform.h"


// 1 when the text arrived before any error marker; 0 with UPD_ERR_REPLY_OVERFLOW,
// UPD_ERR_TIMEOUT, UPD_ERR_BOX_ERROR (after showing the box's error line) or the
// system's code of a failed read. limitMs 0 means no limit.
int waitFor(platform::PortHandle port, const char* text, std::uint32_t limitMs);

// Looks at the box's bytes as they arrive, in order and each once, up to its
// error marker or the end of the awaited text: 0 to go on, else the status
// that ends the wait. Called with no bytes once the box has been quiet for a
// second after some, to settle what it held back waiting for more.
using ReplyWatch = std::function<std::uint32_t(std::string_view bytes)>;

// waitFor that also fails with the watch's status as soon as the watch sees
// one.
int waitForWatching(platform::PortHandle port, const char* text, std::uint32_t limitMs, const ReplyWatch& watch);
