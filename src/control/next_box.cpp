#include "control/next_box.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/status.h"
#include "serial/port_setup.h"
#include "serial/timed_io.h"

using platform::PortHandle;

namespace {

// A box that is on answers the keyword well within this.
constexpr std::uint32_t kProbeLimitMs = 2000;

enum class Probe { Answered, Silent, LineDead };

Probe lineFailure() {
    return platform::lineHasGone(platform::lastError()) ? Probe::LineDead : Probe::Silent;
}

bool sendKeyword(PortHandle port, const CommandOptions& options, std::uint8_t imageType) {
    if (options.slowKeyword) {
        platform::sleepMs(kPauseBeforeSpeedChangeMs);
        if (!setBaud(port, kSlowKeywordSpeed)) return false;
    }
    const bool sent = writeTimed(port, options.keyword, kKeywordLength, options.irdetoMode ? kIrdetoWriteLimitMs : kKeywordLimitMs) == 1;
    if (options.slowKeyword) {
        platform::sleepMs(kPauseBeforeSpeedChangeMs);
        if (!setBaud(port, openingSpeed(imageType))) return false;
    }
    return sent;
}

// One keyword and the wait for the box's version, with nothing printed.
Probe probeBox(PortHandle port, const CommandOptions& options, std::uint8_t imageType, BootloaderVersion& version) {
    if (options.sendKeyword && !sendKeyword(port, options, imageType)) return lineFailure();
    if (options.irdetoMode && !irdetoHandshake(port, kProbeLimitMs)) return lineFailure();
    // A box switched on shows its version by itself (-b): wait as long as a keyword's answer.
    if (queryBootloaderVersion(port, version, kProbeLimitMs) == 1) return Probe::Answered;
    // A line without a version is still a box that is there.
    if (platform::lastError() == UPD_ERR_BOX_ERROR) return Probe::Answered;
    return lineFailure();
}

}  // namespace

NextBox nextBoxWanted() {
    const char* value = std::getenv("UPDATE_NEXT_BOX");
    if (value == nullptr) return NextBox::No;
    if (std::strcmp(value, "first") == 0) return NextBox::First;
    if (std::strcmp(value, "after") == 0) return NextBox::After;
    return NextBox::No;
}

AccessResult awaitNextBox(PortHandle port, const CommandOptions& options, const platform::PortName& portName,
                          std::uint8_t imageType, bool afterBox) {
    bool benchEmpty = !afterBox || !options.sendKeyword;
    std::uint32_t lastAnswerMs = platform::millis();
    for (;;) {
        BootloaderVersion version{-1, -1};
        const Probe probe = probeBox(port, options, imageType, version);
        if (probe == Probe::Answered && benchEmpty && version.major >= 0) {
            std::printf("Bootloader version %u.%u accessed!\n", static_cast<unsigned>(version.major),
                        static_cast<unsigned>(version.minor));
            platform::clearErrors(port);
            return {true, port, version};
        }
        if (probe == Probe::Answered) {
            // The box served before, still there (or one that shows no
            // version): back to its application, and the line opened anew as
            // after every box.
            if (version.major >= 0) releaseBootloader(port);
            lastAnswerMs = platform::millis();
        } else if (!benchEmpty && platform::millis() - lastAnswerMs >= kGoneAfterMs) {
            benchEmpty = true;
        }
        if (probe == Probe::Silent) continue;
        platform::closePort(port);
        port = openBoxPort(options, portName, openingSpeed(imageType));
        if (port == platform::kInvalidPort) return {false, platform::kInvalidPort, {}};
    }
}
