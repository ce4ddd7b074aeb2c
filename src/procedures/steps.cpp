#include "procedures/steps.h"

#include <cstdio>

#include "procedures/procedures.h"
#include "serial/console.h"
#include "serial/explain.h"
#include "serial/port_setup.h"
#include "serial/timed_io.h"
#include "serial/wait_for.h"
#include "transfer/compressed.h"

using platform::PortHandle;

namespace {

constexpr std::uint32_t kPauseBeforeSpeedMs = 300;

bool failWith(PortHandle port, const char* what) {
    reportCodeAndClose(port, what);
    return false;
}

}  // namespace

bool awaitReply(PortHandle port, const char* text) {
    return waitFor(port, text, 0) == 1 || failWith(port, "waitFor error: ");
}

bool sendRecord(PortHandle port, const std::uint8_t* bytes, std::uint32_t count) {
    return writeTimed(port, bytes, count, kKeyWriteLimitMs) == 1 || failWith(port, "WriteFile error: ");
}

bool sendKey(PortHandle port, char key) {
    scratchBuffer[0] = static_cast<std::uint8_t>(key);
    return sendRecord(port, scratchBuffer, 1);
}

bool switchToFastSpeed(PortHandle port) {
    platform::sleepMs(kPauseBeforeSpeedMs);
    if (setBaud(port, kFastSpeed)) return true;
    explainSilentFailure("the port's speed could not be changed", platform::lastError());
    platform::closePort(port);
    return false;
}

bool payloadFits(PortHandle port, std::uint32_t imageLength) {
    const std::uint32_t payload = imageLength - 8;
    if (payload <= UPD_MAX_PAYLOAD) return true;
    std::fprintf(stderr,
                 "\n\nThe image size of %u bytes exceeds the limit of %u bytes\nsupported by bootloader version "
                 "1.7!\nTry to restart the application and abort.\n\n",
                 static_cast<unsigned>(payload), static_cast<unsigned>(UPD_MAX_PAYLOAD));
    std::fflush(stderr);
    explainPayloadTooLarge(payload, UPD_MAX_PAYLOAD);
    sendLeaveMenuKey(port);
    platform::closePort(port);
    return false;
}

int finishDownload(PortHandle port, int transferResult, TransferReportForm form, TransferKind kind) {
    if (transferResult != 1) {
        reportFailedTransfer(platform::lastError(), form);
        platform::closePort(port);
        return 1;
    }
    StreamReplyScan stream;
    CompressedReplyScan compressed;
    return awaitProgramming(port, kind == TransferKind::Compressed ? compressedScanWatch(compressed) : streamScanWatch(stream),
                            form);
}

int awaitProgramming(PortHandle port, const ReplyWatch& transferScan, TransferReportForm form) {
    printOut(" Done!\n");
    printOut("Programming the flash memory...");
    if (!awaitAfterTransfer(port, "finished!", transferScan, form)) return 1;
    printOut(kDoneOverProgress);
    return 0;
}
