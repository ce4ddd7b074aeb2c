// The command line: options, usage text and version listing.
#pragma once

#include <cstdint>

struct CommandOptions {
    std::int32_t port = 1;
    bool sendKeyword = true;
    const char* keyword = " quorcom";
    bool loopMode = false;
    bool beepAtEnd = false;
    bool compressedImage = false;
    bool compressImage = false;
    bool satelliteMode = false;
    bool slowKeyword = false;
    bool irdetoMode = false;
    bool zk7Box = false;
    bool overrideImageHeader = false;
    const char* imagePath = nullptr;
};

enum class CommandLineResult {
    Run,           // options parsed, go on with the update
    ShowUsage,     // no argument: usage printed, exit code 1
    ShowVersion,   // -V: listing printed, exit code 0
    Invalid,       // invalid option or port: message printed, exit code 1
};

// Scans the arguments (argv[0] is the program name) and prints what the scan
// itself decides: the usage text, the version listing, or an option error.
CommandLineResult parseCommandLine(int argc, char** argv, CommandOptions& options);

void printUsage();
void printVersionInfo();
