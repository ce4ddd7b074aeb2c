// Port listing and open-failure advice, as the control layer prints them.
#include "control/port_report.h"

#include <algorithm>
#include <cstdio>
#include <string>

void printSerialPorts() {
    const std::vector<platform::SerialPortInfo> ports = platform::listSerialPorts(platform::ListRoots{});
    if (ports.empty()) {
        std::fputs("no serial ports found\n", stdout);
        return;
    }
    std::size_t width = 0;
    for (const platform::SerialPortInfo& port : ports) width = std::max(width, port.name.size());
    for (const platform::SerialPortInfo& port : ports) {
        std::printf("%-*s  %s\n", static_cast<int>(width), port.name.c_str(), port.description.c_str());
    }
}

void reportPortOpenFailure(const platform::PortName& port, std::uint32_t errorCode) {
    std::fprintf(stderr, "Inititialization of COM-port failed (Error: %u)\n", static_cast<unsigned>(errorCode));
    // A script reading standard error sees exactly the line above and no more.
    if (!platform::standardErrorIsTerminal()) return;
    for (const std::string& line : platform::adviceForOpenFailure(port.device, errorCode, platform::ListRoots{})) {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
}
