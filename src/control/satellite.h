// Making the box fetch its update from a satellite transponder.
#pragma once

#include "platform/platform.h"


// The menu key of the method the argument names ("5", "6" or "8"), or nullptr.
// The argument is turned to upper case in place.
const char* satelliteMenuKey(char* methodName);

// 0 when the key was sent; 1 on failure, after the message, with the port closed.
int requestSatelliteUpdate(platform::PortHandle port, const char* menuKey);
