// The program's run: the command line, the image check, and the loop over
// boxes with access, update (or satellite request), banner and prompt.
#include "control/driver.h"

#include <cstdio>
#include <string>

#include "control/access.h"
#include "control/bench.h"
#include "control/bootloader_table.h"
#include "control/command_line.h"
#include "control/next_box.h"
#include "control/port_report.h"
#include "control/satellite.h"
#include "image/image_check.h"
#include "serial/explain.h"
#include "serial/port_setup.h"
#include "trace/program_trace.h"

using platform::PortHandle;

namespace {

// The image ids of boot loaders 4.11 to 4.13, whose images go the irdeto way.
bool isIrdetoImageId(std::uint32_t imageId) { return imageId >= 0x4000B && imageId <= 0x4000D; }

constexpr std::uint8_t kZk7ImageType = 18;

// A satellite request has no image; its port runs at 115200 baud, as for every
// image type above 2, also when the access loop has to reopen it.
constexpr std::uint8_t kNoImageType = 0xFF;

// The port is shown as the user named it: the COM number, or the device.
void printSuccess(const platform::PortName& portName) {
    std::fputs("\n\t\t OOO   K   K  !!!\n", stdout);
    std::fputs("\t\tO   O  K  K   !!!\n", stdout);
    std::fputs("\t\tO   O  K K     !\n", stdout);
    std::fputs("\t\tO   O  K  K     \n", stdout);
    std::fputs("\t\t OOO   K   K   *\n\n", stdout);
    std::printf("Download on com port %s successfully finished.\n\n", portName.shown.c_str());
}

// From a pipe or a file one byte answers: "n" alone ends the loop; anything
// else, also the end of input, goes on. A terminal hands over whole lines, so
// there a line answers: "y", "Y" or an empty line go on, "n" or "N" end, the
// end of input (Ctrl-D) ends, and anything else asks again.
bool anotherBox() {
    std::fputs("Update another box (y/n)? [y]\n", stdout);
    if (!inputComesFromAPerson()) return std::getchar() != 'n';
    for (;;) {
        char line[256];
        if (std::fgets(line, sizeof line, stdin) == nullptr) return false;
        std::string answer = line;
        const bool whole = !answer.empty() && answer.back() == '\n';
        // The rest of an overlong line is part of the same answer.
        for (int c = 0; !whole && (c = std::getchar()) != '\n' && c != EOF;) answer += static_cast<char>(c);
        while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) answer.pop_back();
        if (answer.empty() || answer == "y" || answer == "Y") return true;
        if (answer == "n" || answer == "N") return false;
        askAgainForYesOrNo();
    }
}

}  // namespace

int runUpdate(int argc, char** argv) {
    // Prompts without a line end must show at once, and both streams must
    // interleave in the order written.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);

    CommandOptions options;
    switch (parseCommandLine(argc, argv, options)) {
        case CommandLineResult::Run: break;
        case CommandLineResult::ShowVersion:
        case CommandLineResult::ShowHelp: return 0;
        case CommandLineResult::ListPorts:
            printSerialPorts();
            return 0;
        case CommandLineResult::ShowUsage:
        case CommandLineResult::Invalid: return 1;
    }
    if (wantsBench(options)) return runBench(argc, argv, options);
    // Before anything reaches the box or the console, so that the trace holds it all.
    const trace::TraceRequest traceWanted = trace::traceRequest(options.tracePath, options.traceFull);
    if (!trace::startTrace(traceWanted, argc, argv)) {
        std::fprintf(stderr, "Cannot create the trace file %s (Error: %u).\n", traceWanted.path,
                     static_cast<unsigned>(platform::lastError()));
        return 1;
    }

    std::uint8_t imageType = 0;
    std::uint32_t imageId = 0;
    std::uint32_t imageLength = 0;
    const char* menuKey = nullptr;

    if (options.satelliteMode) {
        // Settled before the port is touched, so a mistyped method costs no box access.
        if (options.imagePath == nullptr) {
            std::fputs("-s needs a satellite method (eol, orb or mix).\n", stderr);
            return 1;
        }
        const std::string method = options.imagePath;
        std::string upper = method;
        menuKey = satelliteMenuKey(upper.data());
        if (menuKey == nullptr) {
            std::fprintf(stderr, "%s is not a satellite method (eol, orb or mix).\n", method.c_str());
            return 1;
        }
        imageType = kNoImageType;
    } else {
        std::fputs("Checking file...", stdout);
        std::fflush(stdout);
        ImageProblem problem = ImageProblem::None;
        imageLength = checkImageFile(options.imagePath, imageType, imageId, options.irdetoMode ? 1 : 0, problem);
        if (imageLength == 0) {
            std::fputs(" failed! Abort\n", stdout);
            std::fflush(stdout);
            explainImageProblem(problem, options.imagePath);
            return 1;
        }
        std::fputs(" OK!\n", stdout);
        std::fflush(stdout);
        trace::traceImage(options.imagePath, imageLength, imageType, imageId);
        if (isIrdetoImageId(imageId)) options.irdetoMode = true;
        if (imageType == kZk7ImageType) options.zk7Box = true;
    }

    // Every box of a loop, and every reopening, uses the same device.
    const platform::PortName portName = chosenPort(options);
    if (refuseSystemConsole(portName)) return 1;
    PortHandle port = openBoxPort(options, portName, openingSpeed(imageType));
    if (port == platform::kInvalidPort) return 1;

    // Set by the bench for box after box without anyone at the keyboard.
    const NextBox nextBox = nextBoxWanted();
    for (bool firstBox = true;; firstBox = false) {
        std::fputs("\n\n", stdout);
        const AccessResult access =
            firstBox && nextBox != NextBox::No
                ? awaitNextBox(port, options, portName, imageType, nextBox == NextBox::After)
                : accessBootloader(port, options, portName, imageType);
        if (!access.accessed) return 1;
        port = access.port;

        if (options.satelliteMode) {
            if (requestSatelliteUpdate(port, menuKey) != 0) return 1;
            // The request is the last word to the box: give the line back as it was found.
            platform::closePort(port);
            return 0;
        }

        const SupportedBootloader* row =
            findUpdateProcedure(access.version, imageType, imageId, options.overrideImageHeader);
        if (row == nullptr) {
            std::fprintf(stderr, "Error: Bootloader Version %u.%u not supported!\n",
                         static_cast<unsigned>(access.version.major), static_cast<unsigned>(access.version.minor));
            releaseBootloader(port);
            platform::closePort(port);
            return 1;
        }
        if (row->procedure(port, options.imagePath, imageLength, imageId, 0, options.compressedImage,
                           options.compressImage, 115200, options.overrideImageHeader) != 0) {
            return 1;
        }

        boxDone();
        printSuccess(portName);
        if (options.beepAtEnd) platform::beep(1000, 500);
        platform::closePort(port);

        if (!options.loopMode || !anotherBox()) return 0;
        // Same image for the next box; with -x the type of the chosen row sets the speed.
        port = openBoxPort(options, portName, openingSpeed(imageType));
        if (port == platform::kInvalidPort) return 1;
    }
}
