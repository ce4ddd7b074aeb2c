// Collecting the box's reply until an awaited text or the box's error line.
#include "serial/wait_for.h"

#include <cstdio>
#include <cstring>

#include "serial/status.h"
#include "serial/timed_io.h"

namespace {
constexpr const char* kErrorMarker = "ERRORgaga:";
constexpr const char* kLineEnd = "\n";
// One byte of the scratch buffer stays free for the terminating zero.
constexpr std::uint32_t kReplySpace = kScratchBufferSize - 1;
// Sleeps until the box sends more or the limit is one millisecond past, so
// that the next pass sees it passed.
void waitForMore(PortHandle port, std::uint32_t start, std::uint32_t limitMs) {
    if (limitMs == 0) {
        platform::waitForInput(port, platform::kWaitForever);
        return;
    }
    const std::uint32_t elapsed = platform::millis() - start;
    if (elapsed > limitMs) return;
    const std::uint64_t wait = std::uint64_t{limitMs - elapsed} + 1;
    platform::waitForInput(port, wait >= platform::kWaitForever ? platform::kWaitForever - 1
                                                                 : static_cast<std::uint32_t>(wait));
}

}  // namespace

int waitFor(PortHandle port, const char* text, std::uint32_t limitMs) {
    char* const reply = reinterpret_cast<char*>(scratchBuffer);
    const std::uint32_t start = platform::millis();
    const char* searchText = text;
    const char* marker = nullptr;
    std::uint32_t received = 0;

    std::uint32_t got = 0;
    if (!platform::readPort(port, reply, kReplySpace, got)) return 0;
    for (;;) {
        const std::uint32_t elapsed = limitMs == 0 ? 0 : platform::millis() - start;
        if (got > kReplySpace - received) got = kReplySpace - received;  // never trust a count past the space
        received += got;
        reply[received] = '\0';
        // Before the search: a reply that fills the space fails even if it holds
        // the awaited text.
        const std::uint32_t freeSpace = kReplySpace - received;
        if (freeSpace == 0) {
            platform::setLastError(UPD_ERR_REPLY_OVERFLOW);
            return 0;
        }

        if (std::strstr(marker != nullptr ? marker : reply, searchText) != nullptr) {
            if (marker == nullptr) return 1;
            platform::setLastError(UPD_ERR_BOX_ERROR);
            std::fputs("\n\n", stdout);
            std::fputs(marker, stdout);
            std::fputs("\n\n", stdout);
            return 0;
        }
        // From here on only the end of the box's error line counts. The line
        // end may be among the bytes already received, so the next pass reads
        // and searches again without waiting for more.
        bool searchAgainAtOnce = false;
        if (marker == nullptr) {
            marker = std::strstr(reply, kErrorMarker);
            if (marker != nullptr) {
                searchText = kLineEnd;
                searchAgainAtOnce = true;
            }
        }

        // After the searches: a read that completes the awaited text wins even
        // when it came late.
        if (limitMs != 0 && elapsed > limitMs) {
            platform::setLastError(UPD_ERR_TIMEOUT);
            return 0;
        }

        if (!searchAgainAtOnce) waitForMore(port, start, limitMs);
        got = 0;
        if (!platform::readPort(port, reply + received, freeSpace, got)) return 0;
    }
}
