#include "transfer/compressed.h"

#include <bzlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "image/padded_image.h"
#include "common/status.h"
#include "serial/explain.h"
#include "transfer/packing.h"
#include "transfer/send_file.h"

using platform::PortHandle;

std::uint8_t inputBuffer[kCompressionBufferSize];
std::uint8_t frameBuffer[kCompressionBufferSize];

namespace {

constexpr std::uint32_t kChunkSize = 10240;
constexpr int kBlockSize100k = 1;
constexpr int kVerbosity = 0;
constexpr int kWorkFactor = 30;
constexpr std::uint32_t kSumSize = 4;


bool hasCompressedDownload(int imageType) {
    return imageType == 2 || imageType == 4 || imageType == 5 || imageType == 6;
}

// Type 2 carries only the type byte; 4 to 6 the boot loader id as well.
std::uint32_t headerSize(int imageType) { return imageType == 2 ? 5 : 9; }

// The box's progress, warning and failure characters. 0 to go on.
std::uint32_t classify(CompressedReplyScan& scan, char c) {
    switch (c) {
        case '.':
        case 'e':
        case 'p':
            scan.warnings = 0;
            return 0;
        case ':':
        case ';':
            return ++scan.warnings >= 6 ? UPD_ERR_FLASH_FAILED : 0;
        case '?':
        case 'F':
        case 'U':
            return UPD_ERR_FLASH_FAILED;
        default:
            return 0;
    }
}

std::uint32_t classifyHeldFlashIdLetters(CompressedReplyScan& scan) {
    for (std::uint32_t i = 0; i < scan.flashIdAt; ++i)
        if (const std::uint32_t status = classify(scan, kFlashIdMarker[i]); status != 0) return status;
    return 0;
}

int fail(std::uint32_t status) {
    platform::setLastError(status);
    return 0;
}

// Reads the image into inputBuffer; m is its length, cut to the buffer.
bool readImage(const char* fileName, std::uint32_t& m) {
    platform::FileHandle file = platform::openFileForReading(fileName);
    if (file == platform::kInvalidFile) return false;
    std::uint32_t consumed = 0;
    const int ok = readPacked(file, inputBuffer, kCompressionBufferSize, m, consumed, 0);
    platform::closeFile(file);
    return ok != 0;
}

void overrideImageHeader(std::uint32_t m, int imageType, std::uint32_t bootloaderId) {
    // Only bytes the image has are rewritten; the rest of the buffer is not compressed.
    std::uint8_t header[5] = {static_cast<std::uint8_t>(imageType)};
    writeBigEndian32(header + 1, bootloaderId);
    const std::uint32_t size = imageType == 2 ? 1 : 5;
    for (std::uint32_t i = 0; i < size && 4 + i < m; ++i) inputBuffer[4 + i] = header[i];
}

// Builds the frame in frameBuffer; its length in total. The compressor's result.
int buildFrame(std::uint32_t m, int imageType, std::uint32_t bootloaderId, std::uint32_t& total) {
    const std::uint32_t header = headerSize(imageType);
    unsigned int n = kCompressionBufferSize - header - kSumSize;
    const int rc = BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(frameBuffer + header), &n,
                                            reinterpret_cast<char*>(inputBuffer), m, kBlockSize100k, kVerbosity,
                                            kWorkFactor);
    if (rc != BZ_OK) return rc;
    writeBigEndian32(frameBuffer, n);
    frameBuffer[4] = static_cast<std::uint8_t>(imageType);
    if (imageType != 2) writeBigEndian32(frameBuffer + 5, bootloaderId);
    writeBigEndian32(frameBuffer + header + n, addByteSum(0, frameBuffer + header, n));
    total = header + n + kSumSize;
    return BZ_OK;
}

}  // namespace

std::uint32_t scanCompressedReply(CompressedReplyScan& scan, std::string_view reply) {
    for (std::size_t i = 0; i < reply.size(); ++i) {
        const char c = reply[i];
        if (c == kFlashIdMarker[scan.flashIdAt]) {
            if (kFlashIdMarker[++scan.flashIdAt] == '\0') return UPD_ERR_FLASH_ID_MISMATCH;
            continue;
        }
        // The letters a broken-off flash-id message held were the box's own
        // characters; its "F" is a failure.
        if (const std::uint32_t status = classifyHeldFlashIdLetters(scan); status != 0) return status;
        scan.flashIdAt = 0;
        const bool inError = advanceMarker(scan.errorAt, kErrorMarker, c);
        if (inError && kErrorMarker[scan.errorAt] == '\0') {
            keepBoxLine(kErrorMarker, reply.substr(i + 1));
            return UPD_ERR_BOX_ERROR;
        }
        const bool inStop = advanceMarker(scan.stopAt, kStopMarker, c);
        if (inStop && kStopMarker[scan.stopAt] == '\0') {
            keepBoxLine(kStopMarker, reply.substr(i + 1));
            return UPD_ERR_BOX_STOP;
        }
        if (inError || inStop) continue;
        if (const std::uint32_t status = classify(scan, c); status != 0) return status;
    }
    return 0;
}

std::uint32_t pendingCompressedScanStatus(CompressedReplyScan scan) { return classifyHeldFlashIdLetters(scan); }

ReplyWatch compressedScanWatch(CompressedReplyScan& scan) {
    return [&scan](std::string_view bytes) {
        return bytes.empty() ? pendingCompressedScanStatus(scan) : scanCompressedReply(scan, bytes);
    };
}

int sendFileCompressed(PortHandle port, const char* fileName, int imageType, std::uint32_t bootloaderId,
                       std::uint32_t timeLimitMs, int showProgress, int overrideHeader) {
    if (!hasCompressedDownload(imageType)) {
        std::fprintf(stderr, "You cannot use compressed download with this version (%d)\n", imageType);
        std::fflush(stderr);
        return fail(UPD_ERR_COMPRESSION);
    }

    std::uint32_t m = 0;
    if (!readImage(fileName, m)) return 0;
    if (overrideHeader != 0) overrideImageHeader(m, imageType, bootloaderId);

    std::fputs("Compressing file\n", stderr);
    std::fflush(stderr);
    std::uint32_t total = 0;
    const int rc = buildFrame(m, imageType, bootloaderId, total);
    if (rc != BZ_OK) {
        std::fprintf(stderr, "can not compress file (rc=%d) !!\n", rc);
        std::fputs("Switch off settop box !!\n", stderr);
        std::fflush(stderr);
        return fail(UPD_ERR_COMPRESSION);
    }

    const std::uint8_t* position = frameBuffer;
    std::uint32_t remaining = total;
    std::uint32_t highestShown = 0;
    CompressedReplyScan scan;
    // The limit bounds a stall, not the frame: every byte the port takes and
    // every reply renews it, as in the streaming transfer. A frame as large as
    // the procedures accept needs longer than the limit at 115200 baud.
    std::uint32_t lastActivity = platform::millis();
    boxBusyFromNowOn();

    for (;;) {
        std::uint32_t sent = 0;
        if (!platform::writePort(port, position, std::min(remaining, kChunkSize), sent)) {
            const std::uint32_t error = platform::lastError();
            if (error != platform::kErrorCounterTimeout) return fail(error);
        }

        const std::uint32_t now = platform::millis();
        if (sent > 0) {
            lastActivity = now;
        } else if (timeLimitMs != 0 && now - lastActivity > timeLimitMs) {
            // A lone "F" the box sent last is its failure, not a time-out.
            const std::uint32_t pending = pendingCompressedScanStatus(scan);
            return fail(pending != 0 ? pending : UPD_ERR_TIMEOUT);
        }

        std::uint32_t pct = static_cast<std::uint32_t>(std::uint64_t{total - remaining} * 100 / total);
        if (pct > 98) pct = 100;
        if (showProgress != 0 && pct > highestShown) {
            highestShown = pct;
            printTransferProgress(pct);
        }

        platform::clearErrors(port);
        std::uint32_t received = 0;
        if (!platform::readPort(port, replyBuffer, kReplyBufferSize, received)) received = 0;
        if (received > 0) {
            lastActivity = platform::millis();
            replyBuffer[received] = '\0';
            const std::uint32_t status = scanCompressedReply(scan, {replyBuffer, received});
            if (status == UPD_ERR_BOX_ERROR || status == UPD_ERR_BOX_STOP) completeBoxLine(port);
            if (status != 0) return fail(status);
        }

        position += sent;
        remaining -= sent;
        if (remaining == 0) {
            // Nothing after the frame looks for the box's "F" any more.
            const std::uint32_t pending = pendingCompressedScanStatus(scan);
            return pending != 0 ? fail(pending) : 1;
        }
    }
}
