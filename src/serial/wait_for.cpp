// Collecting the box's reply until an awaited text or the box's error line.
#include "serial/wait_for.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string_view>

#include "common/status.h"
#include "common/time_limit.h"
#include "serial/explain.h"
#include "serial/timed_io.h"

using platform::PortHandle;

namespace {
constexpr const char* kErrorMarker = "ERRORgaga:";
constexpr const char* kLineEnd = "\n";
// One byte of the scratch buffer stays free for the terminating zero.
constexpr std::uint32_t kReplySpace = kScratchBufferSize - 1;
// Sleeps until the box sends more or the limit is past; no longer than capMs
// either.
// A person at the terminal sees the seconds go by meanwhile.
void waitForMore(PortHandle port, std::uint32_t start, std::uint32_t limitMs, std::uint32_t capMs) {
    capMs = shownWaitCapMs(capMs);
    if (limitMs == 0) {
        platform::waitForInput(port, capMs);
    } else {
        const std::int64_t left = timeLeftMs(start, limitMs);
        if (left < 0) return;
        platform::waitForInput(port, sleepPastLimitMs(left, capMs));
    }
    tickShownWait();
}

// How long the box stays quiet before the watch settles what it held back.
constexpr std::uint32_t kWatchSettleMs = 1000;

}  // namespace

int waitFor(PortHandle port, const char* text, std::uint32_t limitMs) {
    return waitForWatching(port, text, limitMs, nullptr);
}

int waitForWatching(PortHandle port, const char* text, std::uint32_t limitMs, const ReplyWatch& watch) {
    // Only a wait without a limit can seem to hang.
    std::optional<ShownWait> shownWait;
    if (limitMs == 0) shownWait.emplace();
    char* const reply = reinterpret_cast<char*>(scratchBuffer);
    const std::uint32_t start = platform::millis();
    std::string_view searchText = text;
    // Where the box's error marker begins, once it has been seen.
    std::size_t marker = std::string_view::npos;
    std::uint32_t received = 0;
    std::size_t watched = 0;  // bytes the watch has seen
    bool settleDue = false;   // the watch has seen bytes since it last settled
    std::uint32_t lastBytesAt = start;

    std::uint32_t got = 0;
    if (!platform::readPort(port, reply, kReplySpace, got)) return 0;
    for (;;) {
        const bool late = limitPassed(start, limitMs);
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

        // A zero byte is as much the box's as any other: a line can deliver one
        // at any time, and it must not hide the text that follows it.
        const std::string_view replyText(reply, received);
        const bool markerSeen = marker != std::string_view::npos;
        if (watch && !markerSeen) {
            // The box's error line is for the search below, not for the watch,
            // and what follows the awaited text does not count.
            const std::size_t awaited = replyText.find(searchText);
            const std::size_t end =
                std::min({std::size_t{received}, replyText.find(kErrorMarker),
                          awaited == std::string_view::npos ? awaited : awaited + searchText.size()});
            if (end > watched) {
                const std::uint32_t status = watch(replyText.substr(watched, end - watched));
                watched = end;
                settleDue = true;
                lastBytesAt = platform::millis();
                if (status != 0) {
                    platform::setLastError(status);
                    return 0;
                }
            }
        }
        if (replyText.find(searchText, markerSeen ? marker : 0) != std::string_view::npos) {
            if (!markerSeen) return 1;
            platform::setLastError(UPD_ERR_BOX_ERROR);
            shownWait.reset();
            const std::string_view boxLine(reply + marker);
            rememberBoxWords(boxLine.substr(0, boxLine.find_first_of("\r\n")));
            std::fputs("\n\n", stdout);
            std::fputs(reply + marker, stdout);  // a console shows the text up to a zero byte
            std::fputs("\n\n", stdout);
            return 0;
        }
        // From here on only the end of the box's error line counts. The line
        // end may be among the bytes already received, so the next pass reads
        // and searches again without waiting for more.
        bool searchAgainAtOnce = false;
        if (!markerSeen) {
            marker = replyText.find(kErrorMarker);
            if (marker != std::string_view::npos) {
                searchText = kLineEnd;
                searchAgainAtOnce = true;
            }
        }

        // After the searches: a read that completes the awaited text wins even
        // when it came late.
        if (late) {
            platform::setLastError(UPD_ERR_TIMEOUT);
            return 0;
        }

        // A wait cut short to show the seconds is no quiet second yet.
        const std::uint32_t quietMs = platform::millis() - lastBytesAt;
        const std::uint32_t settleCapMs = quietMs < kWatchSettleMs ? kWatchSettleMs - quietMs : 0;
        if (!searchAgainAtOnce) waitForMore(port, start, limitMs, settleDue ? settleCapMs : platform::kWaitForever);
        got = 0;
        if (!platform::readPort(port, reply + received, freeSpace, got)) return 0;
        if (settleDue && got == 0 && !searchAgainAtOnce && platform::millis() - lastBytesAt >= kWatchSettleMs) {
            settleDue = false;
            if (const std::uint32_t status = watch({}); status != 0) {
                platform::setLastError(status);
                return 0;
            }
        }
    }
}
