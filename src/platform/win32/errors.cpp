// The last error is the thread's own Win32 error value, so the program's status
// codes and the codes the system leaves after a failed call share one place.
#include <windows.h>

#include "platform/platform.h"

namespace platform {

std::uint32_t lastError() { return GetLastError(); }
void setLastError(std::uint32_t code) { SetLastError(code); }

}  // namespace platform
