// The machine's serial ports, read from sysfs and /dev; nothing is opened.
//
// Every tty with a device behind it has /sys/class/tty/<name>/device. USB
// adapters (ttyUSB*, ttyACM*) sit below a USB device whose attributes name the
// maker, the product and the serial number. The serial core also registers a
// ttyS for every UART slot the driver reserves, hardware or not; only slots
// whose `type` attribute is not 0 (unknown) have a UART behind them.
#include "platform/serial_ports.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>

namespace platform {

namespace {

namespace fs = std::filesystem;

// First line of a sysfs attribute, without trailing blanks; empty when absent.
std::string attribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    return line;
}

// The USB device above a tty's device directory: the nearest ancestor with a
// vendor id. A ttyUSB hangs below the interface, a ttyACM is the interface.
std::optional<fs::path> usbDeviceAbove(const fs::path& deviceDirectory) {
    fs::path directory = deviceDirectory;
    for (int level = 0; level < 3; ++level) {
        std::error_code error;
        if (fs::exists(directory / "idVendor", error)) return directory;
        if (!directory.has_parent_path() || directory.parent_path() == directory) break;
        directory = directory.parent_path();
    }
    return std::nullopt;
}

// The /dev/serial/by-id link that leads to the tty, which keeps its name when
// the adapter moves to another socket or others are plugged in first.
std::string stableLinkTo(const std::string& ttyName, const fs::path& devRoot) {
    std::error_code error;
    std::vector<std::string> links;
    for (fs::directory_iterator entry(devRoot / "serial" / "by-id", error), end; !error && entry != end;
         entry.increment(error)) {
        std::error_code linkError;
        const fs::path target = fs::read_symlink(entry->path(), linkError);
        if (!linkError && target.filename() == ttyName) links.push_back(entry->path().string());
    }
    std::sort(links.begin(), links.end());
    return links.empty() ? std::string() : links.front();
}

std::string describeUsbAdapter(const fs::path& usbDevice) {
    const std::string maker = attribute(usbDevice / "manufacturer");
    const std::string product = attribute(usbDevice / "product");
    const std::string serial = attribute(usbDevice / "serial");
    std::string text = maker;
    if (!product.empty()) text += (text.empty() ? "" : " ") + product;
    if (text.empty()) text = "USB serial adapter";
    if (!serial.empty()) text += ", serial " + serial;
    text += ", USB " + attribute(usbDevice / "idVendor") + ":" + attribute(usbDevice / "idProduct");
    return text;
}

struct UartType {
    int code;
    const char* name;
};

// The serial core's port types that a person may recognise.
constexpr UartType kUartTypes[] = {
    {1, "8250"},   {2, "16450"}, {3, "16550"},  {4, "16550A"},  {6, "16650"},
    {7, "16650V2"}, {8, "16750"}, {10, "16C950"}, {11, "16654"}, {12, "16850"}, {32, "PL011"},
};

std::string describeUart(int type, const fs::path& deviceDirectory) {
    // Newer kernels put a serial-base port device between the tty and its bus.
    bool onPci = false;
    fs::path directory = deviceDirectory;
    for (int level = 0; level < 3 && !onPci; ++level, directory = directory.parent_path()) {
        std::error_code error;
        onPci = fs::read_symlink(directory / "subsystem", error).filename() == "pci";
    }
    std::string text = onPci ? "PCI serial port" : "on-board serial port";
    const auto known = std::find_if(std::begin(kUartTypes), std::end(kUartTypes),
                                    [type](const UartType& entry) { return entry.code == type; });
    text += known != std::end(kUartTypes) ? std::string(", ") + known->name + " UART"
                                          : ", UART type " + std::to_string(type);
    return text;
}

int uartType(const fs::path& ttyDirectory) {
    const std::string text = attribute(ttyDirectory / "type");
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); })) {
        return 0;
    }
    return std::stoi(text.substr(0, 9));
}

// ttyS2 before ttyS10: runs of digits compare by value.
bool inNameOrder(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        const bool digitA = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
        const bool digitB = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
        if (digitA && digitB) {
            std::size_t endA = i;
            std::size_t endB = j;
            while (endA < a.size() && std::isdigit(static_cast<unsigned char>(a[endA]))) ++endA;
            while (endB < b.size() && std::isdigit(static_cast<unsigned char>(b[endB]))) ++endB;
            const std::string numberA = a.substr(i, endA - i);
            const std::string numberB = b.substr(j, endB - j);
            if (numberA.size() != numberB.size()) return numberA.size() < numberB.size();
            if (numberA != numberB) return numberA < numberB;
            i = endA;
            j = endB;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

}  // namespace

std::vector<SerialPortInfo> listSerialPorts(const ListRoots& roots) {
    const fs::path devRoot(roots.dev);
    std::vector<SerialPortInfo> ports;
    std::error_code error;
    for (fs::directory_iterator tty(fs::path(roots.sys) / "class" / "tty", error), end; !error && tty != end;
         tty.increment(error)) {
        const std::string name = tty->path().filename().string();
        std::error_code entryError;
        const fs::path deviceDirectory = fs::canonical(tty->path() / "device", entryError);
        if (entryError) continue;  // virtual consoles and the like: no device behind them
        const fs::path node = devRoot / name;
        if (!fs::exists(node, entryError)) continue;  // a name nobody could open

        SerialPortInfo port{node.string(), {}};
        if (const std::optional<fs::path> usb = usbDeviceAbove(deviceDirectory)) {
            port.description = describeUsbAdapter(*usb);
            port.usb = true;
        } else if (const int type = uartType(tty->path()); type != 0) {
            port.description = describeUart(type, deviceDirectory);
        } else {
            continue;
        }
        if (const std::string link = stableLinkTo(name, devRoot); !link.empty()) {
            port.description += "; stable name " + link;
        }
        port.systemConsole = isSystemConsole(port.name, roots);
        ports.push_back(port);
    }
    std::sort(ports.begin(), ports.end(),
              [](const SerialPortInfo& a, const SerialPortInfo& b) { return inNameOrder(a.name, b.name); });
    return ports;
}

}  // namespace platform
