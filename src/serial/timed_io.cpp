// Timed write and read on the open port, and the note that erases itself.
//
// A read on the port never waits (see port_setup.cpp), so the loops below
// would spin while the line is silent; they sleep in platform::waitForInput
// instead, which ends as soon as a byte is there or the limit has run out, so
// they still see every byte at the moment it arrives.
#include "serial/timed_io.h"

#include <cstdlib>
#include <cstring>

#include "common/status.h"
#include "common/time_limit.h"

using platform::PortHandle;

int writeTimed(PortHandle port, const void* data, std::uint32_t count, std::uint32_t limitMs) {
    const std::uint32_t start = platform::millis();
    const auto* next = static_cast<const std::uint8_t*>(data);
    std::uint32_t remaining = count;
    for (;;) {
        std::uint32_t sent = 0;
        if (!platform::writePort(port, next, remaining, sent)) {
            // A write that ran into its own time-out has handed over part of the
            // data; the rest goes in the next call.
            if (platform::lastError() != platform::kErrorCounterTimeout) return 0;
        }
        // Tested before completion: a write that finished only after the limit
        // still counts as too late.
        if (limitPassed(start, limitMs)) {
            platform::setLastError(UPD_ERR_TIMEOUT);
            return 0;
        }
        if (sent > remaining) sent = remaining;
        next += sent;
        remaining -= sent;
        if (remaining == 0) break;
    }
    // The bytes count as taken once they have left the system's buffer, within
    // the same limit: a line held by CTS fails the write here, not the wait
    // for an answer that cannot come. Without a limit the write waits for nothing.
    if (limitMs == 0) return 1;
    const std::int64_t left = timeLeftMs(start, limitMs);
    if (platform::waitUntilSent(port, left > 0 ? static_cast<std::uint32_t>(left) : 0)) return 1;
    const std::uint32_t code = platform::lastError();
    // Every byte was handed over when the line went: the box may well have read
    // them before it hung up, so the write stands and the read that follows
    // meets the hang-up, as it always did, and the access loop reopens.
    if (platform::lineHasGone(code)) return 1;
    if (code == platform::kErrorCounterTimeout) platform::setLastError(UPD_ERR_TIMEOUT);
    return 0;
}

int readCharTimed(PortHandle port, std::uint8_t* destination, std::uint32_t limitMs) {
    const std::uint32_t start = platform::millis();
    for (;;) {
        // Read into a byte of our own: when nothing came, the caller's byte must
        // keep its content.
        std::uint8_t byte = 0;
        std::uint32_t received = 0;
        if (!platform::readPort(port, &byte, 1, received)) return 0;
        if (received == 1) {
            *destination = byte;
            return 1;
        }
        if (limitMs == 0) {
            platform::waitForInput(port, platform::kWaitForever);
            continue;
        }
        const std::int64_t left = timeLeftMs(start, limitMs);
        if (left < 0) return 1;
        platform::waitForInput(port, sleepPastLimitMs(left));
    }
}

void printErasable(std::FILE* stream, const char* text) {
    const std::size_t length = std::strlen(text);
    if (length == 0) return;
    std::fputs(text, stream);
    auto* backspaces = static_cast<char*>(std::malloc(length));
    if (backspaces == nullptr) {
        for (std::size_t i = 0; i < length; ++i) std::fputc('\b', stream);
        return;
    }
    std::memset(backspaces, '\b', length);
    std::fwrite(backspaces, 1, length, stream);
    std::free(backspaces);
}
