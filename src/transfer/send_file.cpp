#include "transfer/send_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/status.h"
#include "common/time_limit.h"
#include "serial/explain.h"
#include "serial/timed_io.h"
#include "transfer/packing.h"

using platform::PortHandle;

char boxErrorText[kBoxErrorTextSize];
char replyBuffer[kReplyBufferSize + 1];

namespace {

constexpr std::uint32_t kBlockSize = 10240;
constexpr std::uint8_t kLeadingRecordTag = 0x11;
constexpr std::uint32_t kRecordPauseMs = 1000;


// Leading-record mode: a 2-byte pair 0x11 and a length, then a record of that
// length that the box needs a moment to digest, then the rest.
enum class LeadingRecord { Off, Pair, Record, Pause };

// How long the rest of the box's line may take to arrive.
constexpr std::uint32_t kBoxLineRestMs = 1000;

std::size_t boxLineLength = 0;
bool boxLineOpen = false;  // the kept line has not met its end yet

// Appends to the kept line up to its end. The text is for printing, which
// ends at a zero byte: zero bytes are left out.
void extendBoxLine(std::string_view bytes) {
    for (const char c : bytes) {
        if (c == '\r' || c == '\n') {
            boxLineOpen = false;
            break;
        }
        if (boxLineLength == kBoxErrorTextSize - 1) {
            boxLineOpen = false;
            break;
        }
        if (c != '\0') boxErrorText[boxLineLength++] = c;
    }
    boxErrorText[boxLineLength] = '\0';
}

int failTransfer(platform::FileHandle file, std::uint32_t status) {
    platform::closeFile(file);
    resetPacking();
    platform::setLastError(status);
    return 0;
}

}  // namespace

void keepBoxLine(const char* marker, std::string_view afterMarker) {
    boxLineLength = 0;
    boxLineOpen = true;
    extendBoxLine(marker);
    extendBoxLine(afterMarker);
    rememberBoxWords(boxErrorText);
}

void completeBoxLine(PortHandle port) {
    const std::uint32_t start = platform::millis();
    while (boxLineOpen) {
        const std::int64_t left = timeLeftMs(start, kBoxLineRestMs);
        if (left < 0) break;
        platform::waitForInput(port, sleepPastLimitMs(left));
        char bytes[256];
        std::uint32_t received = 0;
        if (!platform::readPort(port, bytes, sizeof bytes, received)) break;
        extendBoxLine({bytes, std::min<std::uint32_t>(received, sizeof bytes)});
    }
    boxLineOpen = false;
    rememberBoxWords(boxErrorText);
}

bool advanceMarker(std::uint32_t& at, const char* marker, char c) {
    if (c == marker[at]) {
        ++at;
        return true;
    }
    at = 0;
    return false;
}

std::uint32_t scanStreamReply(StreamReplyScan& scan, std::string_view reply, bool writeTookNothing) {
    for (std::size_t i = 0; i < reply.size(); ++i) {
        const char c = reply[i];
        // The box's flash-id message starts with "F", which alone is a failure
        // character: the "F" stands until the message completes or breaks off.
        const bool hadFlashId = scan.flashIdAt > 0;
        const bool inFlashId = advanceMarker(scan.flashIdAt, kFlashIdMarker, c);
        if (inFlashId && kFlashIdMarker[scan.flashIdAt] == '\0') return UPD_ERR_FLASH_ID_MISMATCH;
        if (hadFlashId && !inFlashId) return UPD_ERR_FLASH_FAILED;

        if (advanceMarker(scan.errorAt, kErrorMarker, c) && kErrorMarker[scan.errorAt] == '\0') {
            keepBoxLine(kErrorMarker, reply.substr(i + 1));
            return UPD_ERR_BOX_ERROR;
        }
        if (advanceMarker(scan.stopAt, kStopMarker, c) && kStopMarker[scan.stopAt] == '\0') {
            keepBoxLine(kStopMarker, reply.substr(i + 1));
            return UPD_ERR_BOX_STOP;
        }
        if (inFlashId) continue;

        switch (c) {
            case '.':
                scan.warnings = 0;
                break;
            case ':':
            case ';':
                if (++scan.warnings >= 6) return UPD_ERR_FLASH_FAILED;
                break;
            case '?':
            case 'F':
            case 'U':
                return UPD_ERR_FLASH_FAILED;
            case 'e':
            case 'p':
                if (writeTookNothing) scan.programmingNotice = true;
                scan.warnings = 0;
                break;
            default:
                break;
        }
    }
    return 0;
}

std::uint32_t pendingScanStatus(const StreamReplyScan& scan) {
    return scan.flashIdAt > 0 ? UPD_ERR_FLASH_FAILED : 0;
}

ReplyWatch streamScanWatch(StreamReplyScan& scan) {
    return [&scan](std::string_view bytes) {
        return bytes.empty() ? pendingScanStatus(scan) : scanStreamReply(scan, bytes, false);
    };
}

void printTransferProgress(std::uint32_t pct) {
    std::printf("%4u %% transfered       \b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b", static_cast<unsigned>(pct));
    std::fflush(stdout);
}

int sendFile(PortHandle port, const char* fileName, std::uint32_t timeLimitMs, int showProgress, int packed,
             int leadingRecord) {
    // Bits left over from a packed file that was not read to its end must not
    // lead the next one.
    resetPacking();

    std::uint32_t blockSize = kBlockSize;
    LeadingRecord record = LeadingRecord::Off;
    if (leadingRecord != 0) {
        packed = 0;
        blockSize = 2;
        record = LeadingRecord::Pair;
    }

    platform::FileHandle file = platform::openFileForReading(fileName);
    if (file == platform::kInvalidFile) return 0;
    std::uint64_t fileSize = 0;
    if (!platform::fileSize(file, fileSize)) return failTransfer(file, platform::lastError());

    std::uint32_t count = 0;
    std::uint32_t consumed = 0;
    if (readPacked(file, scratchBuffer, blockSize, count, consumed, packed) == 0)
        return failTransfer(file, platform::lastError());

    boxBusyFromNowOn();
    std::uint64_t progress = 0;  // 100 times the file bytes consumed
    std::uint64_t highestShown = 0;
    StreamReplyScan scan;

    while (count > 0) {
        if (record == LeadingRecord::Pair) {
            if (count == 2 && scratchBuffer[0] == kLeadingRecordTag) {
                blockSize = scratchBuffer[1];
                record = LeadingRecord::Record;
                if (blockSize == 0) {
                    // An empty record: reading a block of 0 bytes would end the
                    // transfer as if the image were sent. The record is over
                    // now, so the pause comes after this pair.
                    blockSize = kBlockSize;
                    record = LeadingRecord::Pause;
                }
            } else {
                blockSize = kBlockSize;
                record = LeadingRecord::Off;
            }
        } else if (record == LeadingRecord::Record) {
            blockSize = kBlockSize;
            record = LeadingRecord::Pause;
        }

        std::uint32_t lastActivity = platform::millis();
        progress += 100ull * consumed;
        const std::uint8_t* position = scratchBuffer;

        while (count > 0) {
            std::uint32_t sent = 0;
            if (!platform::writePort(port, position, count, sent)) {
                const std::uint32_t error = platform::lastError();
                if (error != platform::kErrorCounterTimeout) return failTransfer(file, error);
            }
            platform::clearErrors(port);
            if (record == LeadingRecord::Pause) {
                platform::sleepMs(kRecordPauseMs);
                record = LeadingRecord::Off;
            }

            std::uint32_t received = 0;
            if (!platform::readPort(port, replyBuffer, kReplyBufferSize, received)) received = 0;
            if (received > 0) {
                replyBuffer[received] = '\0';
                const std::uint32_t status = scanStreamReply(scan, {replyBuffer, received}, sent == 0);
                if (status == UPD_ERR_BOX_ERROR || status == UPD_ERR_BOX_STOP) completeBoxLine(port);
                if (status != 0) return failTransfer(file, status);
            }

            position += sent;
            count -= sent;

            const std::uint32_t now = platform::millis();
            if (sent > 0 || received > 0) {
                lastActivity = now;
            } else if (timeLimitMs != 0 && now - lastActivity > timeLimitMs) {
                const std::uint32_t pending = pendingScanStatus(scan);
                return failTransfer(file, pending != 0 ? pending : UPD_ERR_TIMEOUT);
            }

            if (showProgress != 0 && scan.programmingNotice) {
                scan.programmingNotice = false;
                printErasable(stdout, " stopped for programming");
                std::fflush(stdout);
            }

            if (fileSize > 0) {
                const std::uint64_t pct = progress / fileSize;
                if (showProgress != 0 && pct > highestShown) {
                    highestShown = pct;
                    printTransferProgress(static_cast<std::uint32_t>(pct));
                }
            }
        }

        if (readPacked(file, scratchBuffer, blockSize, count, consumed, packed) == 0)
            return failTransfer(file, platform::lastError());
    }

    const std::uint32_t pending = pendingScanStatus(scan);
    if (pending != 0) return failTransfer(file, pending);
    platform::closeFile(file);
    return 1;
}
