// What to tell a person whose port does not exist: the ports that do, the
// system console left out.
#include "platform/serial_ports.h"

namespace platform {

std::vector<std::string> adviceForMissingDevice(const std::string& device, const std::vector<SerialPortInfo>& ports,
                                                const std::string& howToChoose) {
    std::vector<SerialPortInfo> choices;
    for (const SerialPortInfo& port : ports)
        if (!port.systemConsole) choices.push_back(port);
    if (choices.empty()) {
        return {device + " does not exist, and no serial ports found on this machine (is the adapter plugged in?)"};
    }
    std::string names;
    for (const SerialPortInfo& port : choices) names += (names.empty() ? "" : ", ") + port.name;
    return {device + " does not exist; this machine has " + names + ".", howToChoose};
}

}  // namespace platform
