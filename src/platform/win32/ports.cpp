// Ports by name on Windows: the parts the simulated platform of the tests shares.
#include <windows.h>

#include <io.h>

#include <cstdio>

#include "platform/serial_ports.h"

namespace platform {

bool standardErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

// Not yet read from the system: every name passes as given and is shown as
// given, no port is listed and no advice is given.
unsigned comNumberOfDevice(const char*) { return 0; }

PortNameProblem checkPortName(const char* device) {
    return device == nullptr || device[0] == '\0' ? PortNameProblem::Empty : PortNameProblem::None;
}

std::vector<SerialPortInfo> listSerialPorts(const ListRoots&) { return {}; }

std::vector<std::string> adviceForOpenFailure(const std::string&, std::uint32_t, const ListRoots&) { return {}; }

}  // namespace platform
