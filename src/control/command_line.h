// The command line: options, usage text and version listing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/serial_ports.h"

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
    // The device named with --port; nullptr when the port is the COM number
    // in `port`. Whichever of -p and --port comes later counts.
    const char* portDevice = nullptr;
    // --trace <file>: the dialogue on the line goes there; --trace-full keeps
    // the image data byte for byte.
    const char* tracePath = nullptr;
    bool traceFull = false;
    // --ports <list> (repeatable): one box on each port at once.
    std::vector<const char*> portLists;
    // --report <file>: a record of every box, appended.
    const char* reportPath = nullptr;
    // --box-timeout <seconds>: the most one box may take; 0 is no limit.
    double boxTimeoutS = 0;
};

enum class CommandLineResult {
    Run,           // options parsed, go on with the update
    ShowUsage,     // no argument: usage printed, exit code 1
    ShowVersion,   // -V: listing printed, exit code 0
    Invalid,       // invalid option or port: message printed, exit code 1
    ShowHelp,      // --help: usage and long options printed, exit code 0
    ListPorts,     // --list-ports: the caller lists the ports, exit code 0
};

// Scans the arguments (argv[0] is the program name) and prints what the scan
// itself decides: the usage text, the version listing, or an option error.
CommandLineResult parseCommandLine(int argc, char** argv, CommandOptions& options);

// The port the options chose, as the platform opens it and as messages name it.
platform::PortName chosenPort(const CommandOptions& options);

void printUsage();
// The usage text and the long options, on standard output.
void printHelp();
void printVersionInfo();
// "update 1.39": the program's name and version, for the box records.
std::string programVersionText();
// The first line of the listing alone (--version).
void printVersionLine();
