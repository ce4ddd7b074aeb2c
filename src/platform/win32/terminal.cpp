// Whether the standard streams reach a console.
#include "platform/serial_ports.h"

#include <io.h>

#include <cstdio>

namespace platform {

bool standardErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }
bool standardOutputIsTerminal() { return _isatty(_fileno(stdout)) != 0; }
bool standardInputIsTerminal() { return _isatty(_fileno(stdin)) != 0; }

}  // namespace platform
