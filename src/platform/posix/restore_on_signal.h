// Puts the line settings of every open port back when the user ends the
// program with a signal (Ctrl-C, kill, a closed terminal), so that a port is
// never left raw behind the program.
#pragma once

#include <termios.h>

namespace platform {

// Remembers the port's settings for the signal handlers; installs the handlers
// where none are.
void restoreOnSignal(int fd, const termios& saved);
// The port is being closed: its settings are no longer the handlers' business.
void forgetOnSignal(int fd);

}  // namespace platform
