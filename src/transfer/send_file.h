// Streaming a file to the box block by block while scanning its replies, and
// the failure report after a transfer.
#pragma once

#include <cstdint>

#include "platform/platform.h"

using platform::PortHandle;

inline constexpr std::uint32_t kReplyBufferSize = 10240;
inline constexpr std::uint32_t kBoxErrorTextSize = 1000;
// The box's reply that ended the last transfer through "ERROR:" or "STOP".
extern char boxErrorText[kBoxErrorTextSize];

// 1 when the whole file was handed to the port; 0 with the status in the last
// error. Never closes the port.
int sendFile(PortHandle port, const char* fileName, std::uint32_t timeLimitMs, int showProgress, int packed,
             int leadingRecord);

enum class TransferReportForm { Download, Error, Fehler, Dated };

// Prints the failure report for the status to standard error. In the dated form
// UPD_ERR_BOX_STOP is no failure: it prints the success line on standard output
// and returns true.
bool reportFailedTransfer(std::uint32_t status, TransferReportForm form);
