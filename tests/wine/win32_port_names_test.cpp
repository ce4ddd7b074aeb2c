// Port names on Windows: which names reach a COM port, which are refused
// before anything is opened, and how a port given by name is shown.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/serial_ports.h"

namespace {

using platform::PortNameProblem;

TEST(Win32PortNames, ComOneToTwoHundredFiftySixInAnyCaseAndInTheDeviceForm) {
    EXPECT_EQ(platform::comNumberOfDevice("COM1"), 1u);
    EXPECT_EQ(platform::comNumberOfDevice("com10"), 10u);
    EXPECT_EQ(platform::comNumberOfDevice("Com256"), 256u);
    EXPECT_EQ(platform::comNumberOfDevice("\\\\.\\COM12"), 12u);
    for (const char* name : {"COM1", "cOm7", "COM10", "COM256", "\\\\.\\COM300", "\\\\.\\CNCA0"}) {
        EXPECT_EQ(platform::checkPortName(name), PortNameProblem::None) << name;
    }
}

TEST(Win32PortNames, NamesThatCannotBeAPortAreRefused) {
    for (const char* name : {"COM0", "COM257", "COMx", "COM", "COM01", "COM1x", "\\\\.\\"}) {
        EXPECT_EQ(platform::checkPortName(name), PortNameProblem::NotAPortName) << name;
        EXPECT_EQ(platform::comNumberOfDevice(name), 0u) << name;
    }
    EXPECT_EQ(platform::checkPortName(""), PortNameProblem::Empty);
    EXPECT_EQ(platform::checkPortName(std::string(300, 'C').c_str()), PortNameProblem::TooLong);
    EXPECT_EQ(platform::checkPortName("C:\\"), PortNameProblem::Directory);
    EXPECT_EQ(platform::checkPortName("C:\\windows\\win.ini"), PortNameProblem::RegularFile);
    EXPECT_EQ(platform::checkPortName("LPT1x"), PortNameProblem::NotAPortName);
}

TEST(Win32PortNames, PortOneToFourLeadWhereTheEnvironmentSays) {
    _putenv("UPDATE_COM2=COM17");
    _putenv("UPDATE_COM3=");
    EXPECT_EQ(platform::defaultDeviceForComPort(2), "COM17");
    EXPECT_EQ(platform::defaultDeviceForComPort(3), "COM3");
    EXPECT_EQ(platform::defaultDeviceForComPort(5), "");
    _putenv("UPDATE_COM2=");
}

}  // namespace
