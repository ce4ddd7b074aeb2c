#include "transfer/report.h"

#include <cstdio>

#include "common/status.h"
#include "serial/explain.h"
#include "transfer/send_file.h"

using platform::PortHandle;

bool reportFailedTransfer(std::uint32_t status, TransferReportForm form) {
    switch (status) {
        case UPD_ERR_TIMEOUT:
            std::fputs(form == TransferReportForm::Download ? "Fatal error, settop box does not respond. Abort!\n\n"
                                                             : "Fatal error, settop box does not responding. Abort!\n\n",
                       stderr);
            break;
        case UPD_ERR_FLASH_FAILED:
            std::fputs("Error(s) during erasing, programming or transfering. Abort!\n\n", stderr);
            break;
        case UPD_ERR_FLASH_ID_MISMATCH:
            std::fputs("Flash's manufacturer and/or device ids dont match!\n\n", stderr);
            break;
        case UPD_ERR_BOX_ERROR:
            if (form == TransferReportForm::Fehler) {
                std::fputs("Fehler: ", stderr);
                std::fputs(boxErrorText, stderr);
            } else if (form == TransferReportForm::Dated) {
                std::fputs(boxErrorText, stderr);
            } else {
                std::fputs("ERROR:", stderr);
            }
            std::fputs("\n\n", stderr);
            // This form shows no text of the box's; a person gets it.
            if (form == TransferReportForm::Error || form == TransferReportForm::Download) explainBoxLine();
            break;
        case UPD_ERR_BOX_STOP:
            if (form == TransferReportForm::Dated) {
                // The dated loaders end a transfer they need no more of with "STOP".
                std::fputs(" Done!                    \n", stdout);
                std::fflush(stdout);
                return true;
            }
            [[fallthrough]];
        default:
            std::fprintf(stderr, "Fatal error %u. Abort!\n\n", static_cast<unsigned>(status));
            explainStatus(status);
            break;
    }
    std::fflush(stderr);
    explainPowerCycle();
    return false;
}

bool awaitAfterTransfer(PortHandle port, const char* text, const ReplyWatch& transferScan, TransferReportForm form) {
    // The transfer's reply characters end at the box's first line end: what
    // follows is the box's text ("Flash programmed, finished!"), whose letters
    // are no reports.
    bool textStarted = false;
    std::uint32_t transferEnded = 0;
    const ReplyWatch watch = [&](std::string_view bytes) -> std::uint32_t {
        if (textStarted) return 0;
        const std::size_t lineEnd = bytes.find_first_of("\r\n");
        if (lineEnd != std::string_view::npos) {
            textStarted = true;
            bytes = bytes.substr(0, lineEnd + 1);  // the line end settles a held "F"
        }
        return transferEnded = transferScan(bytes);
    };
    if (waitForWatching(port, text, 0, transferScan ? watch : nullptr) == 1) return true;
    if (transferEnded != 0) {
        if (transferEnded == UPD_ERR_BOX_ERROR || transferEnded == UPD_ERR_BOX_STOP) completeBoxLine(port);
        reportFailedTransfer(transferEnded, form);
    } else {
        const std::uint32_t code = platform::lastError();
        std::fprintf(stderr, "waitFor error: %u\n", static_cast<unsigned>(code));
        std::fflush(stderr);
        explainStatus(code);
        explainPowerCycle();
    }
    std::fflush(stderr);
    platform::closePort(port);
    return false;
}
