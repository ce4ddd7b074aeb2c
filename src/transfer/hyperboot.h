// The dialogue with the hyper bootloader running on a generation 1 box.
#pragma once

#include <cstdint>

#include "platform/platform.h"


// 0 on success with the port open; 1 on failure with the port closed.
int downloadViaHyperboot(platform::PortHandle port, const char* fileName, int modeByte);
