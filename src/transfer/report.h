// After a transfer: the messages for its failure, and the wait for the box's
// text that a transfer ends with.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "serial/wait_for.h"

// The wording of a report, by the dialogue the transfer belongs to.
enum class TransferReportForm { Download, Error, Fehler, Dated };

// Prints the failure report for the status to standard error. In the dated form
// UPD_ERR_BOX_STOP is no failure: it prints the success line on standard output
// and returns true.
bool reportFailedTransfer(std::uint32_t status, TransferReportForm form);

// Waits without a limit for the box's text after a transfer. The box answers
// the last bytes of the file only once they have crossed the line, after the
// transfer has handed them to the port, so its "STOP" or failure character
// may come now, in place of the text: the watch (none: nullptr) scans for it
// up to the box's first line end.
// true when the text came; otherwise the message is printed and the port
// closed: the transfer report in the form for what the watch found, else
// "waitFor error: " and the status.
bool awaitAfterTransfer(platform::PortHandle port, const char* text, const ReplyWatch& transferScan, TransferReportForm form);
