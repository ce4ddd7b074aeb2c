// COM1 to COM4 on Windows: the system's own names, unless the environment
// names another device.
#include "platform/serial_ports.h"

#include <cstdlib>
#include <string>

namespace platform {

std::string defaultDeviceForComPort(unsigned portNumber) {
    if (portNumber < 1 || portNumber > 4) return {};
    const std::string variable = "UPDATE_COM" + std::to_string(portNumber);
    const char* chosen = std::getenv(variable.c_str());
    if (chosen != nullptr && chosen[0] != '\0') return chosen;
    return "COM" + std::to_string(portNumber);
}

}  // namespace platform
