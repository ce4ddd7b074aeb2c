// What the driver made of the hardware handshake, and whether the box says it
// is ready: told to a person once a run (on a terminal only) and to the trace.
#pragma once

#include "platform/platform.h"

// After the line is set up with the handshake: a driver that dropped it lets
// a box that pauses to program be overrun.
void checkHandshakeKept(platform::PortHandle port, bool toPerson);

// Before the keyword: with the handshake on and CTS off nothing will leave.
void adviseIfBoxNotReady(platform::PortHandle port, bool toPerson);

// Lets the next run say it all again.
void forgetLineAdvice();
