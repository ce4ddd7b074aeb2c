// Port listing and open-failure advice against fake sysfs, /dev and /proc trees.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/serial_ports.h"
#include "support/temp_directory.h"

namespace {

namespace fs = std::filesystem;

void writeText(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

// A machine as sysfs shows it: USB adapters below their USB devices, UARTs
// below their bus, and the device nodes and by-id links in /dev.
struct FakeMachine {
    FakeMachine() : root(test_support::makeTempDirectory("update-ports-")) {
        roots.sys = (root / "sys").string();
        roots.dev = (root / "dev").string();
        roots.proc = (root / "proc").string();
        fs::create_directories(root / "sys" / "class" / "tty");
        fs::create_directories(root / "dev");
        fs::create_directories(root / "proc");
    }
    ~FakeMachine() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    fs::path usbDevice(const std::string& bus, const std::vector<std::pair<std::string, std::string>>& attributes) {
        const fs::path device = root / "sys" / "devices" / "pci0000:00" / "usb1" / bus;
        for (const auto& [name, value] : attributes) writeText(device / name, value + "\n");
        return device;
    }
    // The tty's device directory in sysfs, linked from /sys/class/tty/<name>/device.
    void tty(const std::string& name, const fs::path& deviceDirectory, bool node = true) {
        fs::create_directories(deviceDirectory);
        const fs::path classEntry = root / "sys" / "class" / "tty" / name;
        fs::create_directories(classEntry);
        fs::create_directory_symlink(deviceDirectory, classEntry / "device");
        if (node) writeText(root / "dev" / name, "");
    }
    // On newer kernels a serial-base port device stands between the tty and its bus.
    void uart(const std::string& name, const std::string& bus, int type, bool serialBase = false) {
        const fs::path parent = root / "sys" / "devices" / bus / ("port-" + name);
        const fs::path device = serialBase ? parent / (name + ":0") / (name + ":0.0") : parent;
        fs::create_directories(root / "sys" / "bus" / bus);
        fs::create_directories(device);
        fs::create_directory_symlink(root / "sys" / "bus" / bus, parent / "subsystem");
        if (serialBase) {
            fs::create_directories(root / "sys" / "bus" / "serial-base");
            fs::create_directory_symlink(root / "sys" / "bus" / "serial-base", device / "subsystem");
        }
        tty(name, device);
        writeText(root / "sys" / "class" / "tty" / name / "type", std::to_string(type) + "\n");
    }
    void byId(const std::string& link, const std::string& ttyName) {
        fs::create_directories(root / "dev" / "serial" / "by-id");
        fs::create_symlink("../../" + ttyName, root / "dev" / "serial" / "by-id" / link);
    }
    std::string dev(const std::string& name) const { return (root / "dev" / name).string(); }

    // The usual bench: an FTDI and a CH340 adapter, a CDC-ACM board, a real
    // 16550 on the main board, one on a PCI card, and three UART slots with no
    // hardware behind them.
    void populate() {
        const fs::path ftdi = usbDevice("1-1", {{"idVendor", "0403"},
                                                {"idProduct", "6001"},
                                                {"manufacturer", "FTDI"},
                                                {"product", "FT232R USB UART"},
                                                {"serial", "A50285BI"}});
        tty("ttyUSB2", ftdi / "1-1:1.0" / "ttyUSB2");
        byId("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "ttyUSB2");

        const fs::path ch340 = usbDevice("1-2", {{"idVendor", "1a86"}, {"idProduct", "7523"}, {"product", "USB Serial"}});
        tty("ttyUSB10", ch340 / "1-2:1.0" / "ttyUSB10");

        const fs::path acm = usbDevice("1-3", {{"idVendor", "2e8a"},
                                               {"idProduct", "000a"},
                                               {"manufacturer", "Raspberry Pi"},
                                               {"product", "Pico"},
                                               {"serial", "E66138935F"}});
        tty("ttyACM0", acm / "1-3:1.0");  // CDC-ACM: the interface itself is the device
        byId("usb-Raspberry_Pi_Pico_E66138935F-if00", "ttyACM0");

        uart("ttyS0", "pnp", 4);
        uart("ttyS12", "pci", 4, true);
        for (const char* phantom : {"ttyS1", "ttyS2", "ttyS3"}) uart(phantom, "platform", 0);
        // A virtual console has no device; an adapter whose node is missing cannot be opened.
        fs::create_directories(root / "sys" / "class" / "tty" / "tty0");
        writeText(root / "dev" / "tty0", "");
        tty("ttyUSB7", usbDevice("1-4", {{"idVendor", "067b"}, {"idProduct", "2303"}}) / "1-4:1.0" / "ttyUSB7", false);
    }

    fs::path root;
    platform::ListRoots roots;
};

std::vector<std::string> lines(const std::vector<platform::SerialPortInfo>& ports) {
    std::vector<std::string> result;
    for (const platform::SerialPortInfo& port : ports) result.push_back(port.name + " | " + port.description);
    return result;
}

}  // namespace

TEST(PortListing, ListsUsbAdaptersAndRealUartsInNameOrder) {
    FakeMachine machine;
    machine.populate();
    const std::string byId = machine.dev("serial/by-id/");
    const std::vector<std::string> expected = {
        machine.dev("ttyACM0") + " | Raspberry Pi Pico, serial E66138935F, USB 2e8a:000a; stable name " + byId +
            "usb-Raspberry_Pi_Pico_E66138935F-if00",
        machine.dev("ttyS0") + " | on-board serial port, 16550A UART",
        machine.dev("ttyS12") + " | PCI serial port, 16550A UART",
        machine.dev("ttyUSB2") + " | FTDI FT232R USB UART, serial A50285BI, USB 0403:6001; stable name " + byId +
            "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",
        machine.dev("ttyUSB10") + " | USB Serial, USB 1a86:7523",
    };
    EXPECT_EQ(lines(platform::listSerialPorts(machine.roots)), expected);
}

TEST(PortListing, AMachineWithoutPortsOrWithoutSysfsListsNone) {
    FakeMachine machine;
    machine.uart("ttyS0", "platform", 0);
    EXPECT_TRUE(platform::listSerialPorts(machine.roots).empty());
    machine.roots.sys = (machine.root / "no-sysfs").string();
    EXPECT_TRUE(platform::listSerialPorts(machine.roots).empty());
}

TEST(PortAdvice, AMissingDeviceNamesThePortsThatExist) {
    FakeMachine machine;
    const std::string missing = machine.dev("ttyUSB0");
    EXPECT_EQ(platform::adviceForOpenFailure(missing, ENOENT, machine.roots),
              std::vector<std::string>{missing + " does not exist, and no serial ports found on this machine "
                                                 "(is the adapter plugged in?)"});
    machine.populate();
    const std::vector<std::string> advice = platform::adviceForOpenFailure(missing, ENOENT, machine.roots);
    ASSERT_EQ(advice.size(), 2u);
    EXPECT_EQ(advice[0], missing + " does not exist; this machine has " + machine.dev("ttyACM0") + ", " +
                             machine.dev("ttyS0") + ", " + machine.dev("ttyS12") + ", " + machine.dev("ttyUSB2") +
                             ", " + machine.dev("ttyUSB10") + ".");
}

TEST(PortAdvice, NoPermissionNamesTheDevicesGroupAndHowToJoinIt) {
    FakeMachine machine;
    const std::string device = machine.dev("ttyUSB0");
    writeText(device, "");
    std::vector<std::string> advice;
    if (geteuid() == 0) {
        // Root is in no group but its own: a device of group dialout asks it to join.
        const group* dialout = getgrnam("dialout");
        if (dialout == nullptr) GTEST_SKIP() << "no group dialout here";
        ASSERT_EQ(chown(device.c_str(), 0, dialout->gr_gid), 0);
        advice = platform::adviceForOpenFailure(device, EACCES, machine.roots);
        EXPECT_EQ(advice, (std::vector<std::string>{
                              device + " belongs to group dialout, and you are not in it.",
                              "Join it with: sudo usermod -aG dialout $USER, then log out and back in."}));
    } else {
        // Our own group: membership is not the trouble, the mode bits are.
        advice = platform::adviceForOpenFailure(device, EACCES, machine.roots);
        ASSERT_EQ(advice.size(), 2u);
        EXPECT_NE(advice[0].find("which you are in"), std::string::npos) << advice[0];
        EXPECT_EQ(advice[1], "Check them with: ls -l " + device);
    }
}

TEST(PortAdvice, ABusyDeviceNamesTheProcessHoldingItAndTheRemedyForKnownServices) {
    FakeMachine machine;
    const std::string device = machine.dev("ttyUSB0");
    writeText(device, "");
    writeText(machine.dev("other"), "");
    const auto process = [&](const std::string& pid, const std::string& name, const std::string& target) {
        writeText(machine.root / "proc" / pid / "comm", name + "\n");
        fs::create_directories(machine.root / "proc" / pid / "fd");
        fs::create_symlink(target, machine.root / "proc" / pid / "fd" / "5");
    };
    // Holders are found by the file their descriptor leads to, whatever name it was opened by.
    fs::create_symlink(device, machine.dev("by-id-link"));
    process("1200", "cat", machine.dev("other"));
    process("812", "ModemManager", machine.dev("by-id-link"));
    EXPECT_EQ(platform::adviceForOpenFailure(device, EBUSY, machine.roots),
              (std::vector<std::string>{device + " is held by ModemManager (pid 812); ModemManager probes new serial "
                                                 "adapters for modems.",
                                        "Stop it with: sudo systemctl stop ModemManager (the udev rule of the update "
                                        "package keeps it away)."}));

    fs::remove_all(machine.root / "proc" / "812");
    process("77", "brltty", device);
    process("4000", "update", device);
    std::vector<std::string> advice = platform::adviceForOpenFailure(device, EWOULDBLOCK, machine.roots);
    ASSERT_EQ(advice.size(), 2u);
    EXPECT_EQ(advice[0], device + " is held by brltty (pid 77), update (pid 4000); brltty, the Braille display "
                                  "service, claims some USB serial adapters.");

    fs::remove_all(machine.root / "proc" / "77");
    EXPECT_EQ(platform::adviceForOpenFailure(device, EBUSY, machine.roots),
              std::vector<std::string>{device + " is held by update (pid 4000); end it or let it close the port first."});

    fs::remove_all(machine.root / "proc" / "4000");
    EXPECT_EQ(platform::adviceForOpenFailure(device, EBUSY, machine.roots),
              std::vector<std::string>{"Another program holds " + device + "; as root, fuser -v " + device +
                                       " shows which."});
}

TEST(PortNames, RefusesNamesThatCannotBeAPortAndAcceptsMissingOnes) {
    FakeMachine machine;
    writeText(machine.dev("plain"), "");
    EXPECT_EQ(platform::checkPortName(""), platform::PortNameProblem::Empty);
    EXPECT_EQ(platform::checkPortName(machine.dev("plain").c_str()), platform::PortNameProblem::RegularFile);
    EXPECT_EQ(platform::checkPortName(machine.roots.dev.c_str()), platform::PortNameProblem::Directory);
    // A link is followed: ports may be links.
    fs::create_symlink(machine.dev("plain"), machine.dev("link"));
    EXPECT_EQ(platform::checkPortName(machine.dev("link").c_str()), platform::PortNameProblem::RegularFile);
    EXPECT_EQ(platform::checkPortName(machine.dev("ttyUSB9").c_str()), platform::PortNameProblem::None);
    EXPECT_EQ(platform::checkPortName(("/dev/" + std::string(300, 'a')).c_str()), platform::PortNameProblem::TooLong);
    EXPECT_EQ(platform::checkPortName(std::string(5000, '/').c_str()), platform::PortNameProblem::TooLong);
}
