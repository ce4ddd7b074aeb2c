// The command line: the scan of the options, the usage text and the listing
// of the program's version and the boot loaders it serves.
#include "control/command_line.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "control/bootloader_table.h"
#include "control/version.h"

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

}  // namespace

void printUsage() {
    for (const char* line : kUsageLines) std::fputs(line, stderr);
}

void printVersionInfo() {
    const BootloaderVersion own = parseVersion(kRevision);
    std::printf("update %u.%u\n", static_cast<unsigned>(own.major), static_cast<unsigned>(own.minor));
    std::fflush(stdout);
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
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (argument[0] != '-') {
            // The image name ends the scan; whatever follows it is never read.
            options.imagePath = argument;
            break;
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
                return CommandLineResult::Invalid;
        }
    }
    return CommandLineResult::Run;
}
