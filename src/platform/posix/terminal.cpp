// Whether the standard streams reach a terminal.
#include "platform/serial_ports.h"

#include <unistd.h>

namespace platform {

bool standardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }
bool standardOutputIsTerminal() { return isatty(STDOUT_FILENO) == 1; }
bool standardInputIsTerminal() { return isatty(STDIN_FILENO) == 1; }

}  // namespace platform
