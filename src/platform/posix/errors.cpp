#include "platform/platform.h"

namespace platform {

namespace {
thread_local std::uint32_t lastErrorValue = 0;
}

std::uint32_t lastError() { return lastErrorValue; }
void setLastError(std::uint32_t code) { lastErrorValue = code; }

}  // namespace platform
