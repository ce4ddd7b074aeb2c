// The dialogue with the hyper bootloader once a generation 1 boot loader has
// started it: call up its prompt, answer with the mode byte, stream the image
// packed, wait for the end of programming.
#include "transfer/hyperboot.h"

#include <cstdio>

#include "serial/console.h"
#include "serial/explain.h"
#include "serial/port_setup.h"
#include "common/status.h"
#include "serial/timed_io.h"
#include "serial/wait_for.h"
#include "transfer/report.h"
#include "transfer/send_file.h"

using platform::PortHandle;

namespace {

constexpr std::uint32_t kHyperbootBaud = 115200;
constexpr std::uint32_t kKeyLimitMs = 1000;
// The hyper bootloader answers a blank with its prompt; a blank that went
// unanswered within this time is simply sent again.
constexpr std::uint32_t kPromptLimitMs = 500;
constexpr std::uint32_t kImageLimitMs = 120000;

int failWithStatus(PortHandle port, const char* what) {
    reportCodeAndClose(port, what);
    return 1;
}

}  // namespace

int downloadViaHyperboot(PortHandle port, const char* fileName, int modeByte) {
    printOut("Download file...");

    platform::sleepMs(300);
    if (!setBaud(port, kHyperbootBaud)) {
        explainSilentFailure("the port's speed could not be changed", platform::lastError());
        platform::closePort(port);
        return 1;
    }

    // No limit on attempts: the hyper bootloader may take a while to start,
    // and the user can end the program. Each attempt sees only its own reply,
    // so a prompt split across two attempts does not count.
    {
    const ShownWait waiting;
    for (;;) {
        const std::uint8_t blank = ' ';
        if (!writeTimed(port, &blank, 1, kKeyLimitMs)) return failWithStatus(port, "WriteFile error: ");
        if (waitFor(port, "hyperboot\n", kPromptLimitMs)) break;
        if (platform::lastError() != UPD_ERR_TIMEOUT) return failWithStatus(port, "waitFor error: ");
    }
    }

    const std::uint8_t mode = static_cast<std::uint8_t>(modeByte);
    if (!writeTimed(port, &mode, 1, kKeyLimitMs)) return failWithStatus(port, "WriteFile error: ");

    if (!sendFile(port, fileName, kImageLimitMs, kShowProgress, kPacked, kNoLeadingRecord)) {
        reportFailedTransfer(platform::lastError(), TransferReportForm::Download);
        platform::closePort(port);
        return 1;
    }

    printOut("Done!                            \nProgramming the flash memory... ");
    StreamReplyScan scan;
    if (!awaitAfterTransfer(port, "finished.\n", streamScanWatch(scan), TransferReportForm::Download)) return 1;
    printOut("Done!\n");
    return 0;
}
