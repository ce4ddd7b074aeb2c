// Port listing and open-failure advice, as the control layer prints them.
#include "control/port_report.h"

#include <algorithm>
#include <cstdio>
#include <string>

void printSerialPorts() {
    const std::vector<platform::SerialPortInfo> ports = platform::listSerialPorts(platform::systemRoots());
    if (ports.empty()) {
        std::fputs("no serial ports found\n", stdout);
        return;
    }
    std::size_t width = 0;
    for (const platform::SerialPortInfo& port : ports) width = std::max(width, port.name.size());
    for (const platform::SerialPortInfo& port : ports) {
        std::printf("%-*s  %s%s\n", static_cast<int>(width), port.name.c_str(),
                    port.systemConsole ? "system console, never opened: " : "", port.description.c_str());
    }
}

void reportPortOpenFailure(const platform::PortName& port, std::uint32_t errorCode) {
    std::fprintf(stderr, "Inititialization of COM-port failed (Error: %u)\n", static_cast<unsigned>(errorCode));
    // A script reading standard error sees exactly the line above and no more.
    if (!platform::standardErrorIsTerminal()) return;
    for (const std::string& line : platform::adviceForOpenFailure(port.device, errorCode, platform::systemRoots())) {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
}

bool refuseSystemConsole(const platform::PortName& port) {
    if (!platform::isSystemConsole(port.device, platform::systemRoots())) return false;
    if (port.shown != port.device) {
        std::fprintf(stderr, "COM-port %s (%s) is this machine's system console, not a box's line: not opened.\n",
                     port.shown.c_str(), port.device.c_str());
    } else {
        std::fprintf(stderr, "%s is this machine's system console, not a box's line: not opened.\n",
                     port.device.c_str());
    }
    if (platform::standardErrorIsTerminal())
        std::fputs("update --list-ports tells what each port is; choose one with --port <device>.\n", stderr);
    return true;
}
