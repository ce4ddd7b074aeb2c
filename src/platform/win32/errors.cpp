// The last error is kept in a thread-local value of its own, as on POSIX, and
// mirrored into the system's value. The C runtime and the console write
// through Win32 calls that may change GetLastError() even when they succeed;
// a message printed between a failure and the report of its code must not
// replace that code.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/system_error.h"

namespace platform {

namespace {
thread_local std::uint32_t lastErrorValue = 0;
}

std::uint32_t lastError() { return lastErrorValue; }

void setLastError(std::uint32_t code) {
    lastErrorValue = code;
    SetLastError(code);
}

bool failWithSystemError() {
    lastErrorValue = GetLastError();
    return false;
}

}  // namespace platform
