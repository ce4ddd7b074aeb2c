// Streaming a file to the box block by block while scanning its replies, and
// the failure report after a transfer.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/platform.h"

using platform::PortHandle;

inline constexpr std::uint32_t kReplyBufferSize = 10240;
inline constexpr std::uint32_t kBoxErrorTextSize = 1000;
// The box's reply that ended the last transfer through "ERROR:" or "STOP".
extern char boxErrorText[kBoxErrorTextSize];
// One read of the box's replies during a transfer, and the NUL after it.
extern char replyBuffer[kReplyBufferSize + 1];

// What sendFile has seen of the box's replies so far; it carries over from
// read to read, so a marker may arrive split.
struct StreamReplyScan {
    std::uint32_t flashIdAt = 0;  // characters of the flash-id marker matched
    std::uint32_t errorAt = 0;
    std::uint32_t stopAt = 0;
    std::uint32_t warnings = 0;  // ":" or ";" in a row
    bool programmingNotice = false;
};

// Scans one read, every byte of it (a NUL too). 0 to go on, else the status
// that ends the transfer; for "ERROR:" and "STOP" the read, up to a NUL, is
// kept in boxErrorText. writeTookNothing: the write of this cycle took no
// byte, so "e" or "p" mean the box stopped to program its flash.
std::uint32_t scanStreamReply(StreamReplyScan& scan, std::string_view reply, bool writeTookNothing);

// The status for a transfer that ends (its file sent, or its time up) while a
// flash-id marker is partly matched: its "F" was the box's failure character.
std::uint32_t pendingScanStatus(const StreamReplyScan& scan);

// Shows pct on standard output and moves the cursor back over it.
void printTransferProgress(std::uint32_t pct);

// 1 when the whole file was handed to the port; 0 with the status in the last
// error. Never closes the port.
int sendFile(PortHandle port, const char* fileName, std::uint32_t timeLimitMs, int showProgress, int packed,
             int leadingRecord);

enum class TransferReportForm { Download, Error, Fehler, Dated };

// Prints the failure report for the status to standard error. In the dated form
// UPD_ERR_BOX_STOP is no failure: it prints the success line on standard output
// and returns true.
bool reportFailedTransfer(std::uint32_t status, TransferReportForm form);
