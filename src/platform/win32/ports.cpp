// Ports by name on Windows: COM1 to COM256, reached through the \\.\ form;
// the machine's ports from the registry, described by the device manager.
#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/serial_ports.h"

namespace platform {

namespace {

constexpr const char kDevicePrefix[] = "\\\\.\\";
constexpr std::size_t kDevicePrefixLength = sizeof kDevicePrefix - 1;
constexpr unsigned kHighestComPort = 256;

bool hasDevicePrefix(const char* device) { return std::strncmp(device, kDevicePrefix, kDevicePrefixLength) == 0; }

// "COM" in any letter case, then 1 to 256 without leading zeros; 0 otherwise.
unsigned comNumberOfName(const char* name) {
    if (std::strlen(name) < 4) return 0;
    for (int i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return 0;
    }
    const char* digits = name + 3;
    if (digits[0] == '0' || std::strlen(digits) > 3) return 0;
    unsigned number = 0;
    for (const char* c = digits; *c != '\0'; ++c) {
        if (!std::isdigit(static_cast<unsigned char>(*c))) return 0;
        number = number * 10 + static_cast<unsigned>(*c - '0');
    }
    return number <= kHighestComPort ? number : 0;
}

bool startsWithCom(const char* name) {
    return std::strlen(name) >= 3 && std::toupper(static_cast<unsigned char>(name[0])) == 'C' &&
           std::toupper(static_cast<unsigned char>(name[1])) == 'O' &&
           std::toupper(static_cast<unsigned char>(name[2])) == 'M';
}

// The device manager's name for each port ("USB Serial Port (COM7)"), where
// it has one; Wine and some drivers have none.
std::string friendlyNameOf(const std::string& comName) {
    HDEVINFO devices = SetupDiGetClassDevsA(nullptr, "PORTS", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (devices == INVALID_HANDLE_VALUE) return {};
    std::string found;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD index = 0; found.empty() && SetupDiEnumDeviceInfo(devices, index, &info); ++index) {
        HKEY key = SetupDiOpenDevRegKey(devices, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        char portName[32] = {};
        DWORD size = sizeof portName - 1;
        DWORD type = 0;
        const bool named = RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(portName),
                                            &size) == ERROR_SUCCESS && type == REG_SZ;
        RegCloseKey(key);
        if (!named || _stricmp(portName, comName.c_str()) != 0) continue;
        char friendly[256] = {};
        if (SetupDiGetDeviceRegistryPropertyA(devices, &info, SPDRP_FRIENDLYNAME, nullptr,
                                              reinterpret_cast<BYTE*>(friendly), sizeof friendly - 1, nullptr)) {
            found = friendly;
        }
    }
    SetupDiDestroyDeviceInfoList(devices);
    return found;
}

}  // namespace

unsigned comNumberOfDevice(const char* device) {
    if (device == nullptr) return 0;
    return comNumberOfName(hasDevicePrefix(device) ? device + kDevicePrefixLength : device);
}

PortNameProblem checkPortName(const char* device) {
    if (device == nullptr || device[0] == '\0') return PortNameProblem::Empty;
    if (std::strlen(device) >= MAX_PATH) return PortNameProblem::TooLong;
    // Any device the system names in the \\.\ form is taken as it stands.
    if (hasDevicePrefix(device)) {
        return device[kDevicePrefixLength] == '\0' ? PortNameProblem::NotAPortName : PortNameProblem::None;
    }
    if (comNumberOfName(device) != 0) return PortNameProblem::None;
    if (startsWithCom(device)) return PortNameProblem::NotAPortName;
    const DWORD attributes = GetFileAttributesA(device);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PortNameProblem::Directory : PortNameProblem::RegularFile;
    }
    return PortNameProblem::NotAPortName;
}

// HARDWARE\DEVICEMAP\SERIALCOMM holds one value for each port the system has
// now: the kernel's device name, and the COM name as its data.
std::vector<SerialPortInfo> listSerialPorts(const ListRoots&) {
    std::vector<SerialPortInfo> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return ports;
    }
    for (DWORD index = 0;; ++index) {
        char deviceName[256] = {};
        DWORD nameSize = sizeof deviceName;
        char comName[64] = {};
        DWORD dataSize = sizeof comName - 1;
        DWORD type = 0;
        const LONG result = RegEnumValueA(key, index, deviceName, &nameSize, nullptr, &type,
                                          reinterpret_cast<BYTE*>(comName), &dataSize);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS || type != REG_SZ || comName[0] == '\0') continue;
        const std::string friendly = friendlyNameOf(comName);
        // The built-in UARTs are \Device\Serial<n>; every adapter driver names its own.
        const bool usb = std::strncmp(deviceName, "\\Device\\Serial", 14) != 0;
        ports.push_back({comName, friendly.empty() ? std::string("serial port ") + deviceName : friendly, usb});
    }
    RegCloseKey(key);
    // COM2 before COM10.
    std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
        const unsigned left = comNumberOfName(a.name.c_str());
        const unsigned right = comNumberOfName(b.name.c_str());
        return left != right ? left < right : a.name < b.name;
    });
    return ports;
}

std::vector<std::string> adviceForOpenFailure(const std::string& device, std::uint32_t errorCode, const ListRoots& roots) {
    if (errorCode == ERROR_ACCESS_DENIED) {
        return {"Another program has " + device + " open (a terminal program, another update): close it and try again."};
    }
    if (errorCode != ERROR_FILE_NOT_FOUND && errorCode != ERROR_PATH_NOT_FOUND) return {};
    return adviceForMissingDevice(
        device, listSerialPorts(roots),
        "update --list-ports tells what each is (the Device Manager too); choose one with --port COMn.");
}

}  // namespace platform
