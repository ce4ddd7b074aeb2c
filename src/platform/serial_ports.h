// Ports by name: what a port the user chose is called on this system, which
// serial ports the machine has, and what to tell a person when one will not
// open. Implemented once per system; none of it opens a port.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// A port as the user chose it, resolved once: the device the platform opens,
// and the text the program's messages print for it (the COM number the user
// gave, or the device name exactly as given).
struct PortName {
    std::string device;
    std::string shown;
};

// The device behind COM1 to COM4: the environment variable UPDATE_COMn when it
// is set and not empty, else the system's own device for that port. Empty for
// a number outside 1 to 4.
std::string defaultDeviceForComPort(unsigned portNumber);

// The COM number a device name stands for (COM7 on Windows), or 0 where the
// name is not a COM port name, as on POSIX, where every name is a path.
unsigned comNumberOfDevice(const char* device);

enum class PortNameProblem {
    None,
    Empty,
    TooLong,        // longer than the system allows for a device name or path
    NotAPortName,   // the system has no port of that form (COM0, COM257)
    RegularFile,
    Directory,
};

// Whether a name given for a port can name a port at all. Looks at the file
// system only to tell a plain file or a directory; never opens anything.
PortNameProblem checkPortName(const char* device);

// Where the system describes its devices. Tests point these at a fake tree.
struct ListRoots {
    std::string sys = "/sys";
    std::string dev = "/dev";
    std::string proc = "/proc";
};

// The roots the program itself reads: the system's own, or a fake tree's
// (UPDATE_SYSTEM_ROOT holding sys/, proc/ and dev/), so that tests never
// depend on the machine's devices.
ListRoots systemRoots();

struct SerialPortInfo {
    std::string name;         // what to give --port
    std::string description;  // what stands behind it, for a person
    bool usb = false;         // a USB serial adapter (not an on-board or PCI UART)
    bool systemConsole = false;  // the machine's console: listed, never suggested, never opened
};

// Whether the device is (or leads to) a console the system writes its own
// messages to; such a port is never opened for a box. Reads the system's
// tables and the device's name and number only.
bool isSystemConsole(const std::string& device, const ListRoots& roots);

// The serial ports with hardware behind them, in name order.
std::vector<SerialPortInfo> listSerialPorts(const ListRoots& roots);

// One or two lines (without line ends) that turn a failed open of `device`
// with the system's errorCode into something a person can act on; none when
// there is nothing useful to say.
std::vector<std::string> adviceForOpenFailure(const std::string& device, std::uint32_t errorCode,
                                              const ListRoots& roots);

// The advice for a device that does not exist, on every system: the ports
// there are (or that there are none), then how to choose one.
std::vector<std::string> adviceForMissingDevice(const std::string& device, const std::vector<SerialPortInfo>& ports,
                                                const std::string& howToChoose);

// Whether standard error reaches a person (a terminal) rather than a file or
// a pipe that a script reads: advice is printed only then.
bool standardErrorIsTerminal();
bool standardOutputIsTerminal();
bool standardInputIsTerminal();

}  // namespace platform
