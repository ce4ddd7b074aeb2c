// What the program writes on the console around the line's dialogue.
#pragma once

#include "platform/platform.h"

// Writes the text on standard output and shows it at once.
void printOut(const char* text);

// Prints what failed followed by the last error's code on standard error, and
// closes the port.
void reportCodeAndClose(platform::PortHandle port, const char* what);
