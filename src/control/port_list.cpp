#include "control/port_list.h"

#include <algorithm>

namespace {

bool isPattern(const std::string& item) { return item.find_first_of("*?[") != std::string::npos; }

std::vector<std::string> splitList(const std::string& list) {
    std::vector<std::string> items;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = list.find(',', start);
        std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!item.empty()) items.push_back(item);
        if (comma == std::string::npos) return items;
        start = comma + 1;
    }
}

}  // namespace

PortListResult resolvePortLists(const std::vector<std::string>& lists, const PortSource& source) {
    PortListResult result;
    std::vector<std::string> names;
    for (const std::string& list : lists) {
        const std::vector<std::string> items = splitList(list);
        if (items.empty()) {
            result.error = "--ports needs a list of ports, e.g. --ports /dev/ttyUSB0,/dev/ttyUSB1.";
            return result;
        }
        for (const std::string& item : items) {
            if (item == "usb" || isPattern(item)) {
                const std::vector<std::string> found = item == "usb" ? source.usbAdapters() : source.matchPattern(item);
                if (found.empty()) {
                    result.error = item == "usb" ? "--ports usb: this machine shows no USB serial adapter."
                                                 : "--ports: no serial port matches " + item + ".";
                    return result;
                }
                names.insert(names.end(), found.begin(), found.end());
            } else {
                names.push_back(item);
            }
        }
    }
    for (const std::string& name : names) {
        const std::string canonical = source.canonical(name);
        const bool seen = std::any_of(result.ports.begin(), result.ports.end(),
                                      [&](const BenchPort& port) { return port.canonical == canonical; });
        if (!seen) result.ports.push_back({name, canonical});
    }
    return result;
}

std::vector<std::string> shortPortNames(const std::vector<BenchPort>& ports) {
    std::vector<std::string> shortNames;
    for (const BenchPort& port : ports) {
        const std::size_t slash = port.name.find_last_of("/\\");
        shortNames.push_back(slash == std::string::npos ? port.name : port.name.substr(slash + 1));
    }
    for (std::size_t i = 0; i < shortNames.size(); ++i) {
        const std::string candidate = shortNames[i];
        if (std::count(shortNames.begin(), shortNames.end(), candidate) > 1) {
            for (std::size_t j = 0; j < shortNames.size(); ++j) {
                if (shortNames[j] == candidate) shortNames[j] = ports[j].name;
            }
        }
    }
    return shortNames;
}
