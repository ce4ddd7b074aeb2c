// Windows writes no system messages to a COM port: none is a console.
#include "platform/serial_ports.h"

namespace platform {

ListRoots systemRoots() { return ListRoots{}; }

bool isSystemConsole(const std::string&, const ListRoots&) { return false; }

}  // namespace platform
