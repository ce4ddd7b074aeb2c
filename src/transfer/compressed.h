// Compressing an image on the fly and streaming it in a padded frame.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/status.h"
#include "platform/platform.h"
#include "serial/wait_for.h"


inline constexpr std::uint32_t kCompressionBufferSize = 4194304;

// The image as read, and the frame built from it.
extern std::uint8_t inputBuffer[kCompressionBufferSize];
extern std::uint8_t frameBuffer[kCompressionBufferSize];

// What sendFileCompressed has seen of the box's replies so far.
struct CompressedReplyScan {
    std::uint32_t flashIdAt = 0;
    std::uint32_t errorAt = 0;
    std::uint32_t stopAt = 0;
    std::uint32_t warnings = 0;
};

// Scans one read, every byte of it (a NUL too). 0 to go on, else the status
// that ends the transfer; for "ERROR:" and "STOP" the read's first line, up to
// a NUL, is kept in boxErrorText. A character that moves a marker on is spared
// the character classes, but the letters of a flash-id message that breaks
// off are classified then.
std::uint32_t scanCompressedReply(CompressedReplyScan& scan, std::string_view reply);

// The status for a transfer that ends (its frame sent, or its time up) while
// a flash-id message is partly matched: its "F" was the box's failure.
std::uint32_t pendingCompressedScanStatus(CompressedReplyScan scan);

// A watch for awaitAfterTransfer that goes on scanning the box's replies as
// sendFileCompressed does; given no bytes, it settles a held "F".
ReplyWatch compressedScanWatch(CompressedReplyScan& scan);

// 1 when the whole frame was handed to the port; 0 on failure with the status
// in the last error. timeLimitMs bounds the time without progress (no byte
// taken, no reply), not the whole frame. Never closes the port.
int sendFileCompressed(platform::PortHandle port, const char* fileName, int imageType, std::uint32_t bootloaderId,
                       std::uint32_t timeLimitMs, int showProgress, int overrideHeader);
