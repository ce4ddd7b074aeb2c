// The command line: the scan of the options, the usage text and the listing
// of the program's version and the boot loaders it serves.
#include "control/command_line.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "control/bootloader_table.h"
#include "control/version.h"
#include "serial/explain.h"

namespace {

constexpr const char* kRevision = "$Revision: 1.39 $";

constexpr const char* kUsageLines[] = {
    "Usage: update [-p <int>] [-b] [-l] [-w] <image>\n",
    " -p <int>: specifies the serial port (1 for COM1, 2 for COM2...),\n",
    "           valid values are 1,2,3,4, default is 1\n",
    " -b      : access quorcom bootloader via jumper,\n",
    "           by default \"quorcom\" is sent to access bootloader\n",
    " -n      : use factory settings of new image (must be supported by old image)\n",
    " -l      : loop mode - update several boxes with the same image\n",
    " -w      : wakes you up ;-) if the download is finished\n",
    " -V      : prints Version number and supported bootloader versions\n",
    "           and exit\n",
    " -2      : update version that is compressed with bzip2\n",
    " -s      : update via satellite, transponder has to be set in service menue !\n",
    "                    image can be: eol  Europe Online\n",
    "                                  orb  ORB\n",
    "                                  mix  looking for one available method\n",
    " -c      : use uncompressed file as input, compress and update\n",
    " -9\t     : send keywords with 9600Baud\n",
    " -i      : irdeto image\n",
    " -7      : ZK7 box\n",
    " <image> : is the padded application image\n",
};

// Like atoi (leading blanks, optional sign, decimal numerals, 0 without a
// number), but a number too large for 32 bits is held at the nearest end
// instead of being undefined.
std::int32_t portNumberValue(const char* text) {
    const long value = std::strtol(text, nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<std::int32_t>(value);
}

void reportInvalidPort(std::int32_t value) {
    std::fprintf(stderr, "%dis an invalid port number.\n", static_cast<int>(value));
}

// Shown after the usage text by --help only; the usage text itself stays as
// scripts and people know it.
constexpr const char* kLongOptionLines[] = {
    " -x      : ignore the image header's type and id: the box's boot loader\n",
    "           version alone picks the procedure\n",
    "Long options:\n",
    " --port <device>  : the serial port by its device name, e.g. /dev/ttyUSB0,\n",
    "                    /dev/serial/by-id/usb-..., or COM7 on Windows;\n",
    "                    also --port=<device>; the later of -p and --port counts\n",
    " --list-ports     : lists the serial ports of this machine and exits\n",
    " --trace <file>   : records the dialogue with the box in <file>, to send\n",
    "                    with a report of a failed update; also --trace=<file>\n",
    " --trace-full     : the trace holds the image data byte for byte, not just\n",
    "                    its length and digest\n",
    " --ports <list>   : updates one box on each port of the list at once, e.g.\n",
    "                    --ports /dev/ttyUSB0,/dev/ttyUSB1 or --ports usb (every\n",
    "                    USB serial adapter) or a quoted pattern such as\n",
    "                    '/dev/serial/by-id/usb-FTDI_*'; may be given again; with\n",
    "                    -l each port goes on to its next box by itself\n",
    " --report <file>  : appends one JSON line per box to <file>\n",
    " --box-timeout <seconds> : the most one box may take; past it the box failed\n",
    " --help           : prints this text and exits\n",
    " --version        : prints the program's version line and exits\n",
    "The environment variables UPDATE_COM1 to UPDATE_COM4 name the device\n",
    "that -p 1 to -p 4 open. UPDATE_TRACE=<file> and UPDATE_TRACE_FULL=1 do\n",
    "what --trace and --trace-full do; the options win.\n",
};

enum class LongOption { Unknown, Port, ListPorts, Help, Version, Trace, TraceFull, Ports, Report, BoxTimeout };

// "--name" or "--name=value"; only --port and --trace take a value. `inlineValue` is set
// when the argument carried one after '='.
LongOption longOptionOf(const char* argument, const char*& inlineValue) {
    inlineValue = nullptr;
    const char* name = argument + 2;
    const char* equals = std::strchr(name, '=');
    const std::size_t length = equals != nullptr ? static_cast<std::size_t>(equals - name) : std::strlen(name);
    const auto is = [&](const char* candidate) {
        return std::strlen(candidate) == length && std::strncmp(name, candidate, length) == 0;
    };
    if (is("port")) {
        if (equals != nullptr) inlineValue = equals + 1;
        return LongOption::Port;
    }
    if (is("trace")) {
        if (equals != nullptr) inlineValue = equals + 1;
        return LongOption::Trace;
    }
    for (const auto& [candidate, option] : {std::pair{"ports", LongOption::Ports}, std::pair{"report", LongOption::Report},
                                            std::pair{"box-timeout", LongOption::BoxTimeout}}) {
        if (!is(candidate)) continue;
        if (equals != nullptr) inlineValue = equals + 1;
        return option;
    }
    if (equals != nullptr) return LongOption::Unknown;
    if (is("trace-full")) return LongOption::TraceFull;
    if (is("list-ports")) return LongOption::ListPorts;
    if (is("help")) return LongOption::Help;
    if (is("version")) return LongOption::Version;
    return LongOption::Unknown;
}

// False, with the message printed, when the name cannot be a port.
bool acceptPortDevice(const char* device) {
    if (device == nullptr || device[0] == '\0') {
        std::fputs("--port needs a device name.\n", stderr);
        return false;
    }
    const char* problem = nullptr;
    switch (platform::checkPortName(device)) {
        case platform::PortNameProblem::None: return true;
        case platform::PortNameProblem::Empty: problem = "is no device name"; break;
        case platform::PortNameProblem::TooLong: problem = "is longer than this system allows for a device name"; break;
        case platform::PortNameProblem::NotAPortName: problem = "is not a serial port name"; break;
        case platform::PortNameProblem::RegularFile: problem = "is a regular file, not a serial port"; break;
        case platform::PortNameProblem::Directory: problem = "is a directory, not a serial port"; break;
    }
    std::fprintf(stderr, "%s %s.\n", device, problem);
    return false;
}

// Seconds above 0, written as a number and nothing else.
bool boxTimeoutValue(const char* text, double& seconds) {
    if (text == nullptr || text[0] == '\0') return false;
    char* end = nullptr;
    seconds = std::strtod(text, &end);
    return *end == '\0' && std::isfinite(seconds) && seconds > 0;
}

}  // namespace

void printUsage() {
    for (const char* line : kUsageLines) std::fputs(line, stderr);
}

void printHelp() {
    for (const char* line : kUsageLines) std::fputs(line, stdout);
    for (const char* line : kLongOptionLines) std::fputs(line, stdout);
    std::fflush(stdout);
}

platform::PortName chosenPort(const CommandOptions& options) {
    if (options.portDevice != nullptr) {
        // A COM port named by its device name is still shown by its number.
        const unsigned number = platform::comNumberOfDevice(options.portDevice);
        return {options.portDevice, number != 0 ? std::to_string(number) : std::string(options.portDevice)};
    }
    return {platform::defaultDeviceForComPort(static_cast<unsigned>(options.port)), std::to_string(options.port)};
}

void printVersionLine() {
    std::printf("%s\n", programVersionText().c_str());
    std::fflush(stdout);
}

void printVersionInfo() {
    printVersionLine();
    std::fputs("Copyright (c) the update developers\n", stdout);
    std::fputs("This program supports the following\nbootloader versions:\n", stdout);
    for (const SupportedBootloader* row = SupportedBootloaderTable; row->procedure != nullptr; ++row) {
        std::printf("\t\t\t%s\n", row->version);
    }
    std::fputs("\n", stdout);
    std::fflush(stdout);
}

CommandLineResult parseCommandLine(int argc, char** argv, CommandOptions& options) {
    if (argc < 2) {
        printUsage();
        return CommandLineResult::ShowUsage;
    }
    bool portNamed = false;  // by -p or --port
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (argument[0] != '-') {
            // The image name ends the scan. Anything after it would be lost
            // (a port, a trace), so the run ends before the port is touched.
            options.imagePath = argument;
            if (i + 1 < argc) {
                std::fprintf(stderr, "\"%s\" comes after the %s %s: options come before the %s.\n", argv[i + 1],
                             options.satelliteMode ? "satellite method" : "image name", argument,
                             options.satelliteMode ? "method" : "image");
                return CommandLineResult::Invalid;
            }
            break;
        }
        if (argument[1] == '-') {
            // Long options came later than the letters; anything else that
            // begins with "--" stays an invalid option.
            const char* value = nullptr;
            switch (longOptionOf(argument, value)) {
                case LongOption::Port:
                    // Like -p, the next argument is the value even when it looks like an option.
                    if (value == nullptr && i + 1 < argc) value = argv[++i];
                    if (!acceptPortDevice(value)) return CommandLineResult::Invalid;
                    options.portDevice = value;
                    portNamed = true;
                    continue;
                case LongOption::Trace:
                    if (value == nullptr && i + 1 < argc) value = argv[++i];
                    if (value == nullptr || value[0] == '\0') {
                        std::fputs("--trace needs a file name.\n", stderr);
                        return CommandLineResult::Invalid;
                    }
                    options.tracePath = value;
                    continue;
                case LongOption::TraceFull: options.traceFull = true; continue;
                case LongOption::Ports:
                    if (value == nullptr && i + 1 < argc) value = argv[++i];
                    if (value == nullptr) value = "";
                    options.portLists.push_back(value);
                    continue;
                case LongOption::Report:
                    if (value == nullptr && i + 1 < argc) value = argv[++i];
                    if (value == nullptr || value[0] == '\0') {
                        std::fputs("--report needs a file name.\n", stderr);
                        return CommandLineResult::Invalid;
                    }
                    options.reportPath = value;
                    continue;
                case LongOption::BoxTimeout:
                    if (value == nullptr && i + 1 < argc) value = argv[++i];
                    if (!boxTimeoutValue(value, options.boxTimeoutS)) {
                        std::fprintf(stderr, "--box-timeout needs a number of seconds above 0, not %s.\n",
                                     value != nullptr ? value : "nothing");
                        return CommandLineResult::Invalid;
                    }
                    continue;
                case LongOption::ListPorts: return CommandLineResult::ListPorts;
                case LongOption::Help:
                    printHelp();
                    return CommandLineResult::ShowHelp;
                case LongOption::Version:
                    printVersionLine();
                    return CommandLineResult::ShowVersion;
                case LongOption::Unknown: break;
            }
        }
        // Only the letter right after the '-' counts: -lw is -l.
        switch (argument[1]) {
            case 'p':
                // The next argument is the value even when it looks like an
                // option; with none left the port number reads as 0.
                options.port = i + 1 < argc ? portNumberValue(argv[++i]) : 0;
                if (options.port < 1 || options.port > 4) {
                    reportInvalidPort(options.port);
                    return CommandLineResult::Invalid;
                }
                options.portDevice = nullptr;
                portNamed = true;
                break;
            case 'b': options.sendKeyword = false; break;
            case 'n': options.keyword = " quornew"; break;
            case 'l': options.loopMode = true; break;
            case 'w': options.beepAtEnd = true; break;
            case 'V':
                printVersionInfo();
                return CommandLineResult::ShowVersion;
            case '2': options.compressedImage = true; break;
            case 'c':
                options.compressImage = true;
                options.compressedImage = true;
                break;
            case 's': options.satelliteMode = true; break;
            case '9': options.slowKeyword = true; break;
            case 'i': options.irdetoMode = true; break;
            case '7': options.zk7Box = true; break;
            case 'x': options.overrideImageHeader = true; break;
            default:
                std::fprintf(stderr, "%s is an invalid option.\n", argument);
                if (argument[1] == 'h' || argument[1] == '?') hintAtHelp();
                return CommandLineResult::Invalid;
        }
    }
    if (portNamed && !options.portLists.empty()) {
        std::fputs("--ports names the ports itself: give every port in --ports, without -p or --port.\n", stderr);
        return CommandLineResult::Invalid;
    }
    return CommandLineResult::Run;
}

std::string programVersionText() {
    const BootloaderVersion own = parseVersion(kRevision);
    return "update " + std::to_string(own.major) + "." + std::to_string(own.minor);
}
