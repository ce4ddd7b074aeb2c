// The Win32 handle behind an open file, for the console-event path that writes
// out a trace without the program's own calls.
#pragma once

#include <windows.h>

#include "platform/platform.h"

namespace platform {

HANDLE fileHandleOf(FileHandle file);

}  // namespace platform
