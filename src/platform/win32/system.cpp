// Clock, sleep, local time and beep.
#include <windows.h>
#include <mmsystem.h>

#include "platform/platform.h"

namespace platform {

std::uint32_t millis() { return timeGetTime(); }

void sleepMs(std::uint32_t ms) { Sleep(ms); }

LocalTime localTime() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

void beep(unsigned frequencyHz, unsigned durationMs) {
    // Machines without a speaker make Beep fail; the bell is only a courtesy.
    Beep(frequencyHz, durationMs);
}

}  // namespace platform
