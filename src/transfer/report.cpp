#include <cstdio>

#include "serial/status.h"
#include "transfer/send_file.h"

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
            break;
    }
    std::fflush(stderr);
    return false;
}
