#include "platform/win32/console_control.h"

#include <atomic>

#include "platform/signal_flush.h"
#include "platform/win32/line_restore.h"

namespace platform {

namespace {

// The program opens one port at a time; a few spare slots cover tests and
// reopening. A port beyond them still works, it is just not restored.
constexpr int kSlots = 8;

struct Slot {
    std::atomic<HANDLE> handle{nullptr};  // nullptr: free. Published after the settings are written.
    bool haveSaved = false;
    DCB saved{};
    bool haveSavedTimeouts = false;
    COMMTIMEOUTS savedTimeouts{};
};

Slot slots[kSlots];

// The thread that runs main(): the one whose blocking port I/O the handler
// must end. Taken while the program starts, before any port is open.
HANDLE takeMainThread() {
    HANDLE thread = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread,
                    THREAD_TERMINATE | SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, 0);
    return thread;
}
const HANDLE mainThread = takeMainThread();

std::atomic<bool> ending{false};
std::atomic<int> callsUnderway{0};
std::atomic<int> callsParked{0};
// Set whenever a port call ends or parks once the handler runs.
const HANDLE callsChanged = CreateEventA(nullptr, FALSE, FALSE, nullptr);

// A read or write that has just begun when the handler cancels is not yet
// there to be cancelled: the cancel is repeated this often, this many times.
// After that the handler goes on: a call that no cancel ends must not keep
// the line from being restored.
constexpr DWORD kCancelAgainMs = 50;
constexpr int kCancelAttempts = 40;

[[noreturn]] void park() {
    callsParked.fetch_add(1);
    SetEvent(callsChanged);
    for (;;) Sleep(INFINITE);
}

// What a shell reports for the matching POSIX signal, 128 + its number: Ctrl-C
// is SIGINT; Ctrl-Break is how the bench stops a port's process, as SIGTERM
// does on POSIX, and the system's shutdown sends SIGTERM too; a closed console
// or a session that ends is the terminal going away, SIGHUP. 0: not ours.
int exitCodeFor(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT: return 128 + 2;
        case CTRL_BREAK_EVENT: return 128 + 15;
        case CTRL_CLOSE_EVENT: return 128 + 1;
        case CTRL_LOGOFF_EVENT: return 128 + 1;
        case CTRL_SHUTDOWN_EVENT: return 128 + 15;
        default: return 0;
    }
}

void stopPortCalls() {
    ending.store(true);
    for (int attempt = 0; attempt < kCancelAttempts; ++attempt) {
        if (callsUnderway.load() == callsParked.load()) return;
        if (mainThread != nullptr) CancelSynchronousIo(mainThread);
        for (Slot& slot : slots) {
            const HANDLE handle = slot.handle.load(std::memory_order_acquire);
            if (handle != nullptr) CancelIoEx(handle, nullptr);
        }
        WaitForSingleObject(callsChanged, kCancelAgainMs);
    }
}

void restoreAndClosePorts() {
    for (Slot& slot : slots) {
        const HANDLE handle = slot.handle.exchange(nullptr, std::memory_order_acq_rel);
        if (handle == nullptr) continue;
        // What is still queued belongs to a dialogue that ends here; at the old
        // speed it would only reach the box garbled.
        PurgeComm(handle, PURGE_TXABORT | PURGE_TXCLEAR);
        DCB current{};
        current.DCBlength = sizeof current;
        if (slot.haveSaved && GetCommState(handle, &current)) {
            DCB restored = stateToRestore(slot.saved, current);
            SetCommState(handle, &restored);
        }
        if (slot.haveSavedTimeouts) SetCommTimeouts(handle, &slot.savedTimeouts);
        CloseHandle(handle);
    }
}

void installHandler() {
    static std::atomic<bool> installed{false};
    if (installed.exchange(true)) return;
    SetConsoleCtrlHandler(endOnConsoleEvent, TRUE);
}

}  // namespace

PortCall::PortCall() {
    callsUnderway.fetch_add(1);
    if (ending.load()) park();
}

PortCall::~PortCall() {
    if (ending.load()) park();
    callsUnderway.fetch_sub(1);
    if (ending.load()) SetEvent(callsChanged);
}

void restoreOnConsoleEvent(HANDLE port, const DCB* saved, const COMMTIMEOUTS* savedTimeouts) {
    installHandler();
    for (Slot& slot : slots) {
        if (slot.handle.load(std::memory_order_relaxed) != nullptr) continue;
        slot.haveSaved = saved != nullptr;
        if (saved != nullptr) slot.saved = *saved;
        slot.haveSavedTimeouts = savedTimeouts != nullptr;
        if (savedTimeouts != nullptr) slot.savedTimeouts = *savedTimeouts;
        slot.handle.store(port, std::memory_order_release);
        return;
    }
}

void forgetOnConsoleEvent(HANDLE port) {
    for (Slot& slot : slots) {
        if (slot.handle.load(std::memory_order_relaxed) == port) {
            slot.handle.store(nullptr, std::memory_order_release);
            return;
        }
    }
}

BOOL WINAPI endOnConsoleEvent(DWORD event) {
    const int exitCode = exitCodeFor(event);
    if (exitCode == 0) return FALSE;
    // Only one event is handled; a second one (Ctrl-C pressed twice) waits
    // here until the first has ended the process.
    static std::atomic<bool> taken{false};
    if (taken.exchange(true)) {
        for (;;) Sleep(INFINITE);
    }
    stopPortCalls();
    restoreAndClosePorts();
    // The trace's last lines, after the lines are safe: writing may take a moment.
    holdEndingSignals();
    writeOutOnSignal(static_cast<int>(event));
    farewellOnSignal();
    // As a signal ends a POSIX program: no exit handlers, nothing flushed by
    // the runtime behind the program's back.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode));
    return TRUE;
}

}  // namespace platform
