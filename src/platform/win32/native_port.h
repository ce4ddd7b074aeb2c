// The Win32 handle behind an open port, for the tests that check what the
// system holds for the port (its DCB, its time-outs).
#pragma once

#include <windows.h>

#include "platform/platform.h"

namespace platform {

HANDLE nativeHandle(PortHandle port);

}  // namespace platform
