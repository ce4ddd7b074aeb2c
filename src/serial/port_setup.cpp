// Opening and configuring the port, changing its speed, letting a box go.
#include "serial/port_setup.h"

#include "common/status.h"
#include "serial/line_check.h"
#include "serial/timed_io.h"

#include <string>

using platform::PortHandle;

namespace {
// The boot loader's menu key that leaves the menu without an update.
constexpr std::uint8_t kLeaveMenuKey = '1';
constexpr std::uint32_t kLeaveMenuKeyLimitMs = 1000;
// Settling time of a freshly configured port, of a changed speed, and the pause
// every caller makes before it changes the speed.
constexpr std::uint32_t kSettleAfterOpenMs = 300;
// An irdeto write call ends this much after the limit its callers hold it to,
// so that a caller looking at the clock sees the limit passed.
constexpr std::uint32_t kIrdetoWriteLateMs = 10;
constexpr std::uint32_t kSettleAfterSpeedChangeMs = 500;
}  // namespace

PortHandle openComPort(std::uint32_t portNumber, std::uint32_t speed, int irdetoMode, int hardwareHandshake) {
    if (portNumber < 1 || portNumber > 4) {
        platform::setLastError(UPD_ERR_BAD_PORT);
        return platform::kInvalidPort;
    }
    return openComPort(platform::PortName{platform::defaultDeviceForComPort(portNumber), std::to_string(portNumber)},
                       speed, irdetoMode, hardwareHandshake);
}

PortHandle openComPort(const platform::PortName& name, std::uint32_t speed, int irdetoMode, int hardwareHandshake) {
    PortHandle port = platform::openPort(name.device.c_str());
    if (port == platform::kInvalidPort) return platform::kInvalidPort;

    // closePort keeps the last error, so the caller learns why the set-up failed.
    if (!platform::configureLine(port, speed, hardwareHandshake == 1)) {
        platform::closePort(port);
        return platform::kInvalidPort;
    }
    if (hardwareHandshake == 1) checkHandshakeKept(port, platform::standardErrorIsTerminal());
    // The irdeto handshake needs writes that do not give up while the line
    // moves at all: one write call may take the whole of an attempt's 15 s,
    // but a line held by CTS for good still ends it. Everything else gets
    // 10 ms plus 1 ms per byte, and writeTimed sends what is left.
    const bool irdeto = irdetoMode != 0;
    if (!platform::setWriteTimeouts(port, irdeto ? 0 : 1, irdeto ? kIrdetoWriteLimitMs + kIrdetoWriteLateMs : 10)) {
        platform::closePort(port);
        return platform::kInvalidPort;
    }
    platform::sleepMs(kSettleAfterOpenMs);
    return port;
}

bool setBaud(PortHandle port, std::uint32_t speed) {
    std::uint32_t current = 0;
    if (!platform::getBaudRate(port, current)) return false;
    if (current == speed) return true;
    if (!platform::setBaudRate(port, speed)) return false;
    platform::sleepMs(kSettleAfterSpeedChangeMs);
    return true;
}

int sendLeaveMenuKey(PortHandle port) { return writeTimed(port, &kLeaveMenuKey, 1, kLeaveMenuKeyLimitMs); }

int releaseBootloader(PortHandle port) {
    // The box may listen at either speed, so the key goes out at both.
    platform::sleepMs(kPauseBeforeSpeedChangeMs);
    if (!setBaud(port, 115200)) return 0;
    sendLeaveMenuKey(port);
    platform::sleepMs(kPauseBeforeSpeedChangeMs);
    if (!setBaud(port, 38400)) return 0;
    return sendLeaveMenuKey(port);
}
