// Ports by name end to end: an update through --port, through a chain of
// links as /dev/serial/by-id makes them, box after box in loop mode, and the
// advice a person sees on a terminal when the port will not open.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "e2e/box_session.h"

namespace {

using e2e::BoxSession;
using e2e::SessionOptions;

const std::string kImage = e2e::paddedImage(e2e::samplePayload(3000, 5), 7);

std::string describe(const BoxSession& s) {
    return "update exit " + std::to_string(s.update.exitCode) + "\nout: " + s.update.out + "\nerr: " + s.update.err +
           "\nboxsim: " + s.boxsim.out + s.boxsim.err;
}

// The box's link is com1 in the session's directory; COM1 itself leads
// nowhere, so only the device named on the command line reaches the box.
SessionOptions throughPort(const test_support::TempDirectory& dir, const std::string& device, int boxes = 1,
                           const std::string& input = "") {
    SessionOptions options;
    options.boxsimArgs = {"--boxes", std::to_string(boxes), "--programming-ms", "100", "--timeout", "60",
                          "--expect", "flashed"};
    options.updateArgs = {"--port", device, "image.pad"};
    if (boxes > 1) options.updateArgs.insert(options.updateArgs.begin(), "-l");
    options.files["image.pad"] = kImage;
    options.update.environment["UPDATE_COM1"] = dir.file("missing-com1");
    options.update.input = input;
    return options;
}

std::string withPortShown(std::string out, const std::string& shown) {
    const std::string numbered = "Download on com port 1 successfully finished.";
    for (std::size_t at = out.find(numbered); at != std::string::npos; at = out.find(numbered, at + 1)) {
        out.replace(at, numbered.size(), "Download on com port " + shown + " successfully finished.");
    }
    return out;
}

// Runs the program with standard error on a terminal of its own, as a person
// would see it, and returns what the terminal showed.
std::string standardErrorOnTerminal(const std::vector<std::string>& argv) {
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return "(no pseudo-terminal)";
    test_support::ProcessOptions options;
    options.controllingTerminal = ptsname(master);
    options.streamsOnTerminal = {2};
    // Whatever the arguments say, no default device is ever reached.
    for (const char* variable : {"UPDATE_COM1", "UPDATE_COM2", "UPDATE_COM3", "UPDATE_COM4"}) {
        options.environment[variable] = "/nonexistent/update-test-port";
    }
    test_support::Background program(argv, options);
    close(slave);
    std::string shown;
    char chunk[512];
    // The terminal reports EIO once the program, its last user, has gone.
    for (;;) {
        pollfd entry{master, POLLIN, 0};
        if (poll(&entry, 1, 20000) <= 0) break;
        const ssize_t got = read(master, chunk, sizeof chunk);
        if (got <= 0) break;
        shown.append(chunk, static_cast<std::size_t>(got));
    }
    program.wait();
    close(master);
    return shown;
}

TEST(PortName, AnUpdateThroughTheDeviceNameAndThroughAStableLinkChainFlashesTheImage) {
    if (e2e::underWine()) GTEST_SKIP() << "POSIX device paths; the Windows names have tests of their own";
    test_support::TempDirectory plain;
    test_support::TempDirectory linked;
    test_support::TempDirectory numbered;
    // As udev makes it: serial/by-id/<name> -> ../../<tty>, and here the tty is boxsim's link to its pty.
    const std::string stable = linked.file("serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    std::filesystem::create_directories(linked.file("serial/by-id"));
    std::filesystem::create_symlink("../../com1", stable);

    BoxSession viaName;
    BoxSession viaLink;
    BoxSession viaNumber;
    SessionOptions byNumber = throughPort(numbered, "");
    byNumber.updateArgs = {"image.pad"};
    byNumber.update.environment.clear();
    e2e::runConcurrently({[&] { viaName = e2e::runSession(plain, throughPort(plain, plain.file("com1"))); },
                          [&] { viaLink = e2e::runSession(linked, throughPort(linked, stable)); },
                          [&] { viaNumber = e2e::runSession(numbered, byNumber); }},
                         3);

    ASSERT_EQ(viaNumber.update.exitCode, 0) << describe(viaNumber);
    const struct {
        const BoxSession& run;
        std::string shown;
    } cases[] = {{viaName, plain.file("com1")}, {viaLink, stable}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        EXPECT_EQ(c.run.update.exitCode, 0) << describe(c.run);
        // The same dialogue as through COM1, and the port named as it was given.
        EXPECT_EQ(c.run.update.out, withPortShown(viaNumber.update.out, c.shown));
        EXPECT_EQ(c.run.update.err, "");
        EXPECT_EQ(c.run.boxsim.exitCode, 0) << describe(c.run);
        EXPECT_TRUE(e2e::sameBytes(c.run.flashedImage, kImage));
    }
}

TEST(PortName, LoopModeReopensTheSameDeviceForEveryBox) {
    if (e2e::underWine()) GTEST_SKIP() << "POSIX device paths";
    test_support::TempDirectory dir;
    const BoxSession run = e2e::runSession(dir, throughPort(dir, dir.file("com1"), 2, "yn"));
    EXPECT_EQ(run.update.exitCode, 0) << describe(run);
    EXPECT_EQ(run.update.err, "");
    const std::string banner = "Download on com port " + dir.file("com1") + " successfully finished.\n";
    const std::size_t first = run.update.out.find(banner);
    ASSERT_NE(first, std::string::npos) << run.update.out;
    EXPECT_NE(run.update.out.find(banner, first + 1), std::string::npos) << run.update.out;
    ASSERT_EQ(run.flashedImages.size(), 2u) << describe(run);
    for (const std::string& flashed : run.flashedImages) EXPECT_TRUE(e2e::sameBytes(flashed, kImage));
}

TEST(PortName, ADeviceThatIsNoTerminalFailsAtTheOpeningWithTheSystemsCodeAndNeverHangs) {
    if (e2e::underWine()) GTEST_SKIP() << "POSIX devices";
    test_support::TempDirectory dir;
    test_support::writeWholeFile(dir.file("image.pad"), kImage);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    test_support::ProcessOptions options;
    options.environment["UPDATE_COM1"] = dir.file("missing-com1");
    options.timeLimit = std::chrono::milliseconds{10000};
    for (const std::string& device : {std::string("/dev/null"), dir.file("fifo")}) {
        const test_support::ProcessResult result = test_support::run({UPDATE_PROGRAM, "--port", device, dir.file("image.pad")}, options);
        EXPECT_FALSE(result.timedOut) << device;
        EXPECT_EQ(result.exitCode, 1) << device;
        EXPECT_EQ(result.out, "Checking file... OK!\n");
        EXPECT_EQ(result.err, "Inititialization of COM-port failed (Error: " + std::to_string(ENOTTY) + ")\n");
    }
}

TEST(PortName, OnATerminalAFailedOpenIsExplainedAfterTheUnchangedLine) {
    if (e2e::underWine()) GTEST_SKIP() << "POSIX terminals and /proc";
    test_support::TempDirectory dir;
    test_support::writeWholeFile(dir.file("image.pad"), kImage);

    const std::string missing = dir.file("ttyUSB9");
    std::string shown = standardErrorOnTerminal({UPDATE_PROGRAM, "--port", missing, dir.file("image.pad")});
    EXPECT_EQ(shown.rfind("Inititialization of COM-port failed (Error: 2)\r\n" + missing + " does not exist", 0), 0u)
        << shown;

    // A first program holds the port (-b: it waits for a version line that never comes).
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const std::string device = ttyname(slave);
    close(slave);  // the test holds only the master, or it would be named as a holder too
    test_support::Background first({UPDATE_PROGRAM, "-b", "--port", device, dir.file("image.pad")});
    ASSERT_TRUE(first.waitForOutput("\n\n", std::chrono::milliseconds{10000}));
    shown = standardErrorOnTerminal({UPDATE_PROGRAM, "--port", device, dir.file("image.pad")});
    const std::string holder = device + " is held by update (pid " + std::to_string(first.pid()) + ")";
    EXPECT_NE(shown.find("Inititialization of COM-port failed (Error: "), std::string::npos) << shown;
    EXPECT_NE(shown.find(holder), std::string::npos) << shown;
    first.signal(SIGINT);
    first.wait();
    close(master);
}

}  // namespace

namespace {

// A fake system whose console is ttyS0, which leads to a box's line: the
// program lists it as the console and never opens it, however it is named.
TEST(SystemConsole, IsMarkedInTheListingAndNeverOpened) {
    if (e2e::underWine()) GTEST_SKIP() << "the console tables of Linux";
    namespace fs = std::filesystem;
    test_support::TempDirectory dir;
    const std::string root = dir.file("root");
    for (const char* tty : {"ttyS0", "ttyS1"}) {
        fs::create_directories(root + "/sys/devices/platform/serial8250/tty/" + tty);
        fs::create_directories(root + "/sys/class/tty/" + tty);
        fs::create_symlink(root + "/sys/devices/platform/serial8250/tty/" + tty, root + "/sys/class/tty/" + tty + "/device");
        test_support::writeWholeFile(root + "/sys/class/tty/" + tty + "/type", "4\n");
    }
    fs::create_directories(root + "/sys/class/tty/console");
    fs::create_directories(root + "/proc");
    fs::create_directories(root + "/dev/serial/by-id");
    test_support::writeWholeFile(root + "/sys/class/tty/console/active", "tty0 ttyS0\n");
    test_support::writeWholeFile(root + "/proc/consoles", "ttyS0                -W- (EC  p a)    4:64\n");
    test_support::writeWholeFile(root + "/dev/ttyS1", "");
    test_support::writeWholeFile(root + "/dev/ttyS0", "");

    test_support::ProcessOptions listing;
    listing.environment["UPDATE_SYSTEM_ROOT"] = root;
    const auto listed = test_support::run({UPDATE_PROGRAM, "--list-ports"}, listing);
    EXPECT_NE(listed.out.find(root + "/dev/ttyS0  system console, never opened: "), std::string::npos) << listed.out;
    EXPECT_EQ(listed.out.find("ttyS1  system console"), std::string::npos) << listed.out;

    // Now the console's node leads to the box's line: an open would show in its log.
    fs::remove(root + "/dev/ttyS0");
    fs::create_symlink(dir.file("com1"), root + "/dev/ttyS0");
    fs::create_symlink("../../ttyS0", root + "/dev/serial/by-id/usb-adapter");

    for (const std::vector<std::string>& choice :
         {std::vector<std::string>{"-p", "1"}, {"--port", root + "/dev/serial/by-id/usb-adapter"}}) {
        e2e::SessionOptions options;
        options.boxsimArgs = {"--bootloader", "4.20", "--timeout", "5"};
        options.update.environment = {{"UPDATE_SYSTEM_ROOT", root}, {"UPDATE_COM1", root + "/dev/ttyS0"}};
        options.updateArgs = choice;
        options.updateArgs.push_back("image.pad");
        options.files["image.pad"] = e2e::paddedImage(e2e::samplePayload(2000, 9), 4, 0x40014);
        const e2e::BoxSession session = e2e::runSession(dir, options);
        EXPECT_EQ(session.update.exitCode, 1);
        EXPECT_NE(session.update.err.find("is this machine's system console, not a box's line: not opened.\n"),
                  std::string::npos)
            << session.update.err;
        EXPECT_TRUE(e2e::pcBytes(session.dialogueLog).empty()) << session.dialogueLog;
    }
}

}  // namespace
