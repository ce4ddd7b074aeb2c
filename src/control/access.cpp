// Waking the box's boot loader and learning its version.
#include "control/access.h"

#include <cstdio>

#include "control/port_report.h"

#include "serial/console.h"
#include "serial/explain.h"
#include "serial/line_check.h"
#include "serial/port_setup.h"
#include "common/status.h"
#include "common/time_limit.h"
#include "serial/timed_io.h"

using platform::PortHandle;

namespace {

constexpr std::uint32_t kAttemptLimitMs = 15000;
constexpr std::uint32_t kPauseAfterSlowSpeedMs = 1000;

constexpr char kVersionMarker[] = "Bootloader Version";
constexpr std::uint32_t kVersionMarkerLength = sizeof kVersionMarker - 1;

// The irdeto handshake: echoed characters in a row that end it, empty reads
// allowed before the first byte of an echo, the pause after every read, and a
// bound on the bytes of one echo so that a box streaming garbage cannot keep
// the handshake in one echo read for ever.
constexpr int kIrdetoEchoesNeeded = 4;
constexpr int kIrdetoEmptyReads = 4;
constexpr std::uint32_t kIrdetoReadPauseMs = 100;
constexpr std::uint32_t kIrdetoRetryPauseMs = 10;
constexpr int kIrdetoEchoReadBytes = 100;
constexpr std::uint8_t kIrdetoClosing[2] = {0x5B, 0xE7};

// After an aborted read the port comes back at this speed; unlike the
// opening speed, type 2 returns at 38400.
std::uint32_t reopeningSpeed(std::uint8_t imageType) { return imageType > 2 ? 115200 : 38400; }

AccessResult accessFailed() { return {false, platform::kInvalidPort, {}}; }

bool isLineEnd(std::uint8_t byte) { return byte == '\r' || byte == '\n'; }

enum class Echo { Matched, Missed, LineDead };

// Sends one character and waits for the box to echo it. The character that
// came last in the echo is the one compared. Once the game's time is up the
// echo counts as missed.
template <typename TimeUp>
Echo echo(PortHandle port, std::uint8_t character, const TimeUp& timeUp) {
    for (;;) {
        std::uint32_t sent = 0;
        if (!platform::writePort(port, &character, 1, sent)) {
            const std::uint32_t code = platform::lastError();
            std::fprintf(stderr, "WriteFile error: %u\n", static_cast<unsigned>(code));
            // A line that has gone never takes the character: trying again for
            // ever would hang the program. The attempt ends with the write's
            // code, which has the port reopened.
            if (platform::lineHasGone(code)) return Echo::LineDead;
        } else if (sent == 0) {
            std::fputs("WriteFile no character sent\n", stderr);
        } else {
            break;
        }
        if (timeUp()) return Echo::Missed;
        platform::sleepMs(kIrdetoRetryPauseMs);
    }

    int emptyReadsLeft = kIrdetoEmptyReads;
    int bytesRead = 0;
    bool anyByte = false;
    std::uint8_t lastByte = 0;
    for (;;) {
        std::uint8_t byte = 0;
        std::uint32_t received = 0;
        const bool read = platform::readPort(port, &byte, 1, received);
        platform::sleepMs(kIrdetoReadPauseMs);
        // 0xFF is what a line idling at the wrong level reads as: no echo.
        if (read && received == 1 && byte != 0xFF) {
            lastByte = byte;
            anyByte = true;
            if (++bytesRead >= kIrdetoEchoReadBytes || timeUp()) break;
            continue;
        }
        if (anyByte || emptyReadsLeft == 0 || timeUp()) break;
        --emptyReadsLeft;
    }
    return anyByte && lastByte == character ? Echo::Matched : Echo::Missed;
}

// The speed change around a slow keyword. false: the message was printed and
// the port closed.
bool changeKeywordSpeed(PortHandle port, std::uint32_t speed, const char* which) {
    platform::sleepMs(kPauseBeforeSpeedChangeMs);
    if (!setBaud(port, speed)) {
        const std::uint32_t code = platform::lastError();
        platform::closePort(port);
        std::fprintf(stderr, "%s of COM-port to send slow keyword failed (Error: %u)\n", which,
                     static_cast<unsigned>(code));
        return false;
    }
    std::fputs("\n\n", stdout);
    platform::sleepMs(kPauseAfterSlowSpeedMs);
    return true;
}

}  // namespace

std::uint32_t openingSpeed(std::uint8_t imageType) { return imageType < 2 ? 38400 : 115200; }

PortHandle openBoxPort(const CommandOptions& options, const platform::PortName& portName, std::uint32_t speed) {
    // A zk7 box has no handshake lines.
    const PortHandle port = openComPort(portName, speed, options.irdetoMode ? 1 : 0, options.zk7Box ? 0 : 1);
    if (port == platform::kInvalidPort) {
        const std::uint32_t code = platform::lastError();
        eraseSignsOfLife();
        reportPortOpenFailure(portName, code);
    }
    return port;
}

bool sendAccessKeyword(PortHandle port, const CommandOptions& options, const platform::PortName& portName,
                       std::uint8_t imageType) {
    if (options.slowKeyword && !changeKeywordSpeed(port, kSlowKeywordSpeed, "Inititialization")) return false;

    adviseIfBoxNotReady(port, platform::standardErrorIsTerminal());
    // In irdeto mode the keyword may take as long as the port's writes, an
    // attempt's time: a line that moves at all gets it out, one held by CTS
    // for good ends the access instead of hanging it.
    const std::uint32_t limitMs = options.irdetoMode ? kIrdetoWriteLimitMs : kKeywordLimitMs;
    if (writeTimed(port, options.keyword, kKeywordLength, limitMs) != 1) {
        const std::uint32_t code = platform::lastError();
        eraseSignsOfLife();
        if (code == UPD_ERR_TIMEOUT) {
            std::fprintf(stderr, "Cannot connect bootloader over COM-port %s.\n", portName.shown.c_str());
        } else {
            std::fprintf(stderr, "WriteFile error: %u\n", static_cast<unsigned>(code));
        }
        platform::closePort(port);
        return false;
    }

    if (options.slowKeyword && !changeKeywordSpeed(port, openingSpeed(imageType), "ReInititialization")) return false;
    return true;
}

bool irdetoHandshake(PortHandle port, std::uint32_t limitMs) {
    // A box that is still switched off, or one that never echoes right, would
    // keep the game going for ever: the keyword that wakes a box switched on
    // later is only sent again once this attempt has given up.
    const std::uint32_t start = platform::millis();
    const ShownWait waiting;
    const auto timeUp = [&] {
        tickShownWait();
        return limitPassed(start, limitMs);
    };
    std::uint8_t next = '0';
    int echoesNeeded = kIrdetoEchoesNeeded;
    while (echoesNeeded > 0) {
        platform::clearErrors(port);
        const Echo result = echo(port, next, timeUp);
        if (result == Echo::LineDead) return false;
        echoesNeeded = result == Echo::Matched ? echoesNeeded - 1 : kIrdetoEchoesNeeded;
        next = next == '9' ? '0' : static_cast<std::uint8_t>(next + 1);
        if (echoesNeeded > 0 && timeUp()) {
            platform::setLastError(UPD_ERR_TIMEOUT);
            return false;
        }
    }
    std::uint32_t sent = 0;
    platform::writePort(port, kIrdetoClosing, sizeof kIrdetoClosing, sent);
    // From here on the port's writes are limited in time as outside irdeto mode.
    platform::setWriteTimeouts(port, 1, 10);
    return true;
}

int queryBootloaderVersion(PortHandle port, BootloaderVersion& version, std::uint32_t limitMs) {
    const std::uint32_t start = platform::millis();

    // Each read waits only for what is left of the query's limit: with the
    // whole limit per read, a box that talks until just before the limit and
    // then falls silent would hold the query for nearly twice as long.
    const auto readLimit = [&]() -> std::uint32_t {
        if (limitMs == 0) return 0;
        const std::int64_t left = timeLeftMs(start, limitMs);
        return left > 0 ? static_cast<std::uint32_t>(left) : 1;
    };

    // A read that ends by its limit stores nothing; clearing the byte first
    // keeps an earlier user's content of the buffer out of the match.
    std::uint32_t position = 0;
    while (position < kVersionMarkerLength) {
        scratchBuffer[position] = 0;
        if (readCharTimed(port, &scratchBuffer[position], readLimit()) != 1) return 0;
        platform::clearErrors(port);
        // The byte that breaks a partial match is not tried again as a start.
        position = scratchBuffer[position] == static_cast<std::uint8_t>(kVersionMarker[position]) ? position + 1 : 0;
        if (position == kVersionMarkerLength) break;
        if (limitPassed(start, limitMs)) {
            platform::setLastError(UPD_ERR_TIMEOUT);
            return 0;
        }
    }

    // The line behind the marker, up to CR or LF, with room left for its end.
    std::uint32_t end = kVersionMarkerLength;
    for (;;) {
        if (end == kScratchBufferSize) {
            platform::setLastError(UPD_ERR_REPLY_OVERFLOW);
            return 0;
        }
        scratchBuffer[end] = 0;
        if (readCharTimed(port, &scratchBuffer[end], readLimit()) != 1) return 0;
        if (isLineEnd(scratchBuffer[end])) break;
        ++end;
        if (limitPassed(start, limitMs)) {
            platform::setLastError(UPD_ERR_TIMEOUT);
            return 0;
        }
    }
    scratchBuffer[end] = 0;

    int major = 0;
    int minor = 0;
    if (std::sscanf(reinterpret_cast<const char*>(scratchBuffer + kVersionMarkerLength), "%d.%d", &major, &minor) !=
        2) {
        // The box answered, but with no version: reported as the box's error.
        platform::setLastError(UPD_ERR_BOX_ERROR);
        return 0;
    }
    version = {major, minor};
    return 1;
}

AccessResult accessBootloader(PortHandle port, const CommandOptions& options, const platform::PortName& portName,
                              std::uint8_t imageType, std::int32_t retries) {
    const std::int32_t attempts = retries + 1;
    for (;;) {
        if (options.sendKeyword && !sendAccessKeyword(port, options, portName, imageType)) return accessFailed();
        // The game has the attempt's limit; a box that completes it gets the
        // whole limit again for its version line.
        const bool gameOver = !options.irdetoMode || irdetoHandshake(port, kAttemptLimitMs);

        BootloaderVersion version;
        if (gameOver && queryBootloaderVersion(port, version, kAttemptLimitMs) == 1) {
            eraseSignsOfLife();
            std::printf("Bootloader version %u.%u accessed!\n", static_cast<unsigned>(version.major),
                        static_cast<unsigned>(version.minor));
            platform::clearErrors(port);
            return {true, port, version};
        }

        const std::uint32_t code = platform::lastError();
        const bool gone = platform::lineHasGone(code);
        const bool retry = retries > 0 && (gone || code == UPD_ERR_TIMEOUT);
        if (retry) showAccessAttempt(attempts - retries + 1, attempts, gone);
        if (!retry) eraseSignsOfLife();
        if (gone) {
            if (retries == 0) {
                std::fputs("Access to bootloader failed!\n", stderr);
                platform::closePort(port);
                return accessFailed();
            }
            platform::closePort(port);
            port = openBoxPort(options, portName, reopeningSpeed(imageType));
            if (port == platform::kInvalidPort) return accessFailed();
            --retries;
        } else if (code == UPD_ERR_TIMEOUT) {
            if (retries == 0) {
                std::fputs("Time out. Access to bootloader failed!\n", stderr);
                platform::closePort(port);
                return accessFailed();
            }
            --retries;
        } else {
            reportCodeAndClose(port, "waitFor error: ");
            return accessFailed();
        }
    }
}
