// Streaming a file to the box block by block while scanning its replies.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/platform.h"
#include "serial/wait_for.h"


inline constexpr std::uint32_t kReplyBufferSize = 10240;
inline constexpr std::uint32_t kBoxErrorTextSize = 1000;
// The box's reply that ended the last transfer through "ERROR:" or "STOP".
extern char boxErrorText[kBoxErrorTextSize];
// One read of the box's replies during a transfer, and the NUL after it.
extern char replyBuffer[kReplyBufferSize + 1];

// What the box says during a transfer when its flash is not the one the image
// is for, when it fails, and when it needs no more of the image.
inline constexpr char kFlashIdMarker[] = "Flash's manufacturer and/or device ids dont match!";
inline constexpr char kErrorMarker[] = "ERROR:";
inline constexpr char kStopMarker[] = "STOP";

// Keeps the box's line that a marker began in boxErrorText: the marker, then
// what the read holds after it up to the line end (at most 999 characters in
// all), without the progress characters before it.
void keepBoxLine(const char* marker, std::string_view afterMarker);
// Reads the rest of a kept line the box has not ended yet, waiting a moment
// for it, so the report shows the box's words whole.
void completeBoxLine(platform::PortHandle port);

// Moves a marker's position on by c: true when c was the character due. A
// character that breaks a partial match is not tried against the marker's
// first character again.
bool advanceMarker(std::uint32_t& at, const char* marker, char c);

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
int sendFile(platform::PortHandle port, const char* fileName, std::uint32_t timeLimitMs, int showProgress, int packed,
             int leadingRecord);

// The flags of sendFile and sendFileCompressed, by name.
inline constexpr int kShowProgress = 1;
inline constexpr int kPacked = 1;
inline constexpr int kUnpacked = 0;
inline constexpr int kLeadingRecord = 1;
inline constexpr int kNoLeadingRecord = 0;
inline constexpr int kOverrideHeader = 1;
inline constexpr int kKeepHeader = 0;

// A watch for awaitAfterTransfer that goes on scanning the box's replies as
// sendFile does; given no bytes, it settles a held "F".
ReplyWatch streamScanWatch(StreamReplyScan& scan);
