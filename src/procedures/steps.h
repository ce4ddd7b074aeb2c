// The steps the update procedures share. Each step that fails has printed its
// message and closed the port; the procedure then returns 1.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "serial/console.h"
#include "serial/wait_for.h"
#include "transfer/report.h"
#include "transfer/send_file.h"


inline constexpr std::uint32_t kKeyWriteLimitMs = 1000;
inline constexpr std::uint32_t kTransferLimitMs = 120000;
inline constexpr std::uint32_t kFastSpeed = 115200;

// Waits for the reply without a time limit.
bool awaitReply(platform::PortHandle port, const char* text);

// Writes the bytes of a key or record within 1000 ms.
bool sendRecord(platform::PortHandle port, const std::uint8_t* bytes, std::uint32_t count);
bool sendKey(platform::PortHandle port, char key);

// Pauses 300 ms, then switches to 115200 baud; no message on failure.
bool switchToFastSpeed(platform::PortHandle port);

// The payload (image length value minus 8, unsigned) must not exceed
// UPD_MAX_PAYLOAD; a larger one is refused, and the box leaves its menu.
bool payloadFits(platform::PortHandle port, std::uint32_t imageLength);

enum class TransferKind { Stream, Compressed };

// What follows a transfer on the boot loaders that program the flash after it:
// on failure the report in the procedure's form and the port closed (result 1);
// otherwise the wait for "finished!" (result 0 when it came), during which the
// box's replies are still scanned as the transfer of that kind scans them: a
// failure the box reports there gets the same report.
int finishDownload(platform::PortHandle port, int transferResult, TransferReportForm form, TransferKind kind);

// The image is in: " Done!", then the wait for the box's "finished!". A status
// the transfer's scan finds in the box's replies meanwhile ends the wait with
// the transfer report in the form.
int awaitProgramming(platform::PortHandle port, const ReplyWatch& transferScan = nullptr,
                     TransferReportForm form = TransferReportForm::Error);

// The line after a transfer: " Done!" over the rest of the progress line.
inline constexpr char kDoneOverProgress[] = " Done!                    \n";
