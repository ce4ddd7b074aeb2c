// Making the box fetch its update from a satellite transponder.
#include "control/satellite.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "serial/console.h"
#include "serial/explain.h"
#include "serial/port_setup.h"
#include "serial/timed_io.h"
#include "serial/wait_for.h"

using platform::PortHandle;

namespace {

struct SatelliteMethod {
    const char* name;     // compared, in upper case, with the first three characters
    const char* menuKey;  // the boot loader's menu choice
};

constexpr SatelliteMethod kSatelliteMethods[] = {
    {"EOL", "5"},  // Europe Online
    {"ORB", "6"},  // ORB
    {"MIX", "8"},  // the box looks for one available method
};

constexpr std::uint32_t kMenuSpeed = 115200;
constexpr std::uint32_t kKeyLimitMs = 1000;

}  // namespace

const char* satelliteMenuKey(char* methodName) {
    for (char* c = methodName; *c != '\0'; ++c) *c = static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
    for (const SatelliteMethod& method : kSatelliteMethods) {
        if (std::strncmp(methodName, method.name, 3) == 0) return method.menuKey;
    }
    return nullptr;
}

int requestSatelliteUpdate(PortHandle port, const char* menuKey) {
    // The menu can take as long as the box likes to show up.
    if (waitFor(port, "choice!:", 0) != 1) {
        reportCodeAndClose(port, "waitFor error: ");
        return 1;
    }
    platform::sleepMs(kPauseBeforeSpeedChangeMs);
    if (!setBaud(port, kMenuSpeed)) {
        explainSilentFailure("the port's speed could not be changed", platform::lastError());
        platform::closePort(port);
        return 1;
    }
    if (writeTimed(port, menuKey, static_cast<std::uint32_t>(std::strlen(menuKey)), kKeyLimitMs) != 1) {
        reportCodeAndClose(port, "WriteFile error: ");
        return 1;
    }
    std::fputs(" Done!\n", stdout);
    std::fputs("Please be patient and wait for update to be finished..\n", stdout);
    std::fputs("It will last for about 10min\n", stdout);
    return 0;
}
