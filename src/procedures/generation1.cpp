// Generation 1 boot loaders (1.4 to 1.9) cannot take the image themselves: they
// are used only to load the hyper bootloader, which then receives the image.
// The five procedures share one dialogue and differ in a few constants.
#include <cstdio>

#include "image/hyper_pad.h"
#include "platform/signal_flush.h"
#include "procedures/procedures.h"
#include "procedures/steps.h"
#include "serial/explain.h"
#include "serial/port_setup.h"
#include "transfer/hyperboot.h"
#include "transfer/report.h"
#include "transfer/send_file.h"

using platform::PortHandle;

namespace {

struct Generation1Dialogue {
    std::uint8_t modeByte;     // stored in hyper.pad and sent to the hyper bootloader
    bool switchSpeed;          // 1.4 keeps the opening speed until the hyper bootloader runs
    const char* beforeChoice;  // printed just before choosing the download, or nullptr
    std::uint32_t pauseBeforeChoiceMs;
    char downloadKey;
    bool confirmErase;  // 1.4 asks "now?" before erasing its flash memory
    const char* announcement;
    bool packed;  // the older loaders take hyper.pad as stored
};

constexpr Generation1Dialogue kBootloader14{.modeByte = 0,
                                            .switchSpeed = false,
                                            .beforeChoice = "Erasing flash memory...",
                                            .pauseBeforeChoiceMs = 0,
                                            .downloadKey = '2',
                                            .confirmErase = true,
                                            .announcement = " Done!\nDownload hyper bootloader...",
                                            .packed = false};
constexpr Generation1Dialogue kBootloader15{.modeByte = 0,
                                            .switchSpeed = true,
                                            .beforeChoice = nullptr,
                                            .pauseBeforeChoiceMs = 100,
                                            .downloadKey = '2',
                                            .confirmErase = false,
                                            .announcement = "Download hyper bootloader... ",
                                            .packed = false};
constexpr Generation1Dialogue kBootloader16{.modeByte = 0,
                                            .switchSpeed = true,
                                            .beforeChoice = nullptr,
                                            .pauseBeforeChoiceMs = 0,
                                            .downloadKey = '3',
                                            .confirmErase = false,
                                            .announcement = "Download hyper bootloader... ",
                                            .packed = true};
// Serves 1.7 and 1.9.
constexpr Generation1Dialogue kBootloader17{.modeByte = 1,
                                            .switchSpeed = true,
                                            .beforeChoice = nullptr,
                                            .pauseBeforeChoiceMs = 0,
                                            .downloadKey = '3',
                                            .confirmErase = false,
                                            .announcement = "Download hyper bootloader...",
                                            .packed = true};
constexpr Generation1Dialogue kBootloader18{.modeByte = 0,
                                            .switchSpeed = true,
                                            .beforeChoice = nullptr,
                                            .pauseBeforeChoiceMs = 0,
                                            .downloadKey = '3',
                                            .confirmErase = false,
                                            .announcement = "Download hyper bootloader...",
                                            .packed = true};

int updateGeneration1(PortHandle port, const char* imagePath, const Generation1Dialogue& dialogue) {
    // The file is written before the menu is awaited, but a failure is acted on
    // only at the menu, so the box can be released with "1" instead of being
    // left in its boot loader.
    const bool giveUp = writeHyperPad(dialogue.modeByte) == 0;
    if (giveUp) {
        const std::uint32_t code = platform::lastError();
        std::fputs("Cannot create hyper bootloader file, try to restart!\n", stderr);
        std::fflush(stderr);
        explainCannotCreate(kHyperPadFileName, code);
    } else {
        // A run ended by Ctrl-C leaves no file of ours behind.
        platform::removeOnSignal(kHyperPadFileName);
    }

    if (!awaitReply(port, "choice!:")) return 1;
    if (dialogue.switchSpeed && !switchToFastSpeed(port)) return 1;

    if (giveUp) {
        sendLeaveMenuKey(port);
        platform::closePort(port);
        return 1;
    }

    if (dialogue.beforeChoice != nullptr) printOut(dialogue.beforeChoice);
    if (dialogue.pauseBeforeChoiceMs != 0) platform::sleepMs(dialogue.pauseBeforeChoiceMs);

    if (!sendKey(port, dialogue.downloadKey)) return 1;
    if (dialogue.confirmErase && !(awaitReply(port, "now?") && sendKey(port, 'y'))) return 1;
    if (!awaitReply(port, "file:")) return 1;

    printOut(dialogue.announcement);
    if (!sendFile(port, kHyperPadFileName, kTransferLimitMs, kShowProgress, dialogue.packed ? kPacked : kUnpacked,
                  kNoLeadingRecord)) {
        reportFailedTransfer(platform::lastError(), TransferReportForm::Error);
        platform::closePort(port);
        return 1;
    }
    printOut("Done!                       \n");

    // Until the boot loader has taken it, hyper.pad stays for a retry.
    StreamReplyScan scan;
    if (!awaitAfterTransfer(port, "finished!", streamScanWatch(scan), TransferReportForm::Error)) return 1;
    platform::removeOnSignal(nullptr);
    platform::deleteFile(kHyperPadFileName);

    return downloadViaHyperboot(port, imagePath, dialogue.modeByte);
}

}  // namespace

// Only the port and the image path matter to these boot loaders; the rest of
// the shared signature is for the other generations.
#define GENERATION1_PROCEDURE(name, dialogue)                                                              \
    UPDATE_PROCEDURE(name) {                                                                                \
        (void)imageLength, (void)imageId, (void)unused, (void)compressedImage, (void)compressImage,        \
            (void)speed, (void)overrideImageHeader;                                                         \
        return updateGeneration1(port, imagePath, dialogue);                                               \
    }

GENERATION1_PROCEDURE(updateBootloader14, kBootloader14)
GENERATION1_PROCEDURE(updateBootloader15, kBootloader15)
GENERATION1_PROCEDURE(updateBootloader16, kBootloader16)
GENERATION1_PROCEDURE(updateBootloader17, kBootloader17)
GENERATION1_PROCEDURE(updateBootloader18, kBootloader18)
