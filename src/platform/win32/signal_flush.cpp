// The trace's buffer for the console-event path (console_control.cpp), which
// runs on a thread of its own: holding the ending signals is a lock here, which
// that path takes before it writes and never gives back.
#include "platform/signal_flush.h"
#include "platform/signal_line.h"
#include "platform/win32/console_control.h"
#include "platform/win32/file_handle.h"

#include <windows.h>

namespace platform {

namespace {

std::atomic<SignalFlush*> handedOver{nullptr};
std::atomic<HANDLE> handedOverFile{INVALID_HANDLE_VALUE};
SRWLOCK traceLock = SRWLOCK_INIT;
std::atomic<const char*> farewellText{nullptr};
std::atomic<const char*> fileToRemove{nullptr};

void writeAll(HANDLE file, const char* data, std::size_t size) {
    while (size > 0) {
        DWORD put = 0;
        const DWORD chunk = size > 0x10000000u ? 0x10000000u : static_cast<DWORD>(size);
        if (!WriteFile(file, data, chunk, &put, nullptr) || put == 0) return;
        data += put;
        size -= put;
    }
}

}  // namespace

const char* consoleEventName(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT: return "CTRL_C_EVENT";
        case CTRL_BREAK_EVENT: return "CTRL_BREAK_EVENT";
        case CTRL_CLOSE_EVENT: return "CTRL_CLOSE_EVENT";
        case CTRL_LOGOFF_EVENT: return "CTRL_LOGOFF_EVENT";
        case CTRL_SHUTDOWN_EVENT: return "CTRL_SHUTDOWN_EVENT";
        default: return "another event";
    }
}

void flushOnSignal(SignalFlush* flush) {
    handedOver.store(nullptr, std::memory_order_release);
    handedOverFile.store(flush != nullptr ? fileHandleOf(flush->file) : INVALID_HANDLE_VALUE,
                         std::memory_order_release);
    handedOver.store(flush, std::memory_order_release);
}

// `signalNumber` is the console event here.
void writeOutOnSignal(int signalNumber) {
    SignalFlush* flush = handedOver.exchange(nullptr, std::memory_order_acq_rel);
    const HANDLE file = handedOverFile.load(std::memory_order_acquire);
    if (flush == nullptr || file == INVALID_HANDLE_VALUE) return;
    writeAll(file, flush->data, flush->length.load(std::memory_order_acquire));
    if (flush->pending != nullptr) writeAll(file, flush->pending, flush->pendingLength.load(std::memory_order_acquire));
    const std::uint64_t now = monotonicUs();
    char line[kSignalLineSize];
    const std::size_t length = signalLine(line, now > flush->startUs ? now - flush->startUs : 0, flush->signalEvent,
                                          consoleEventName(static_cast<DWORD>(signalNumber)));
    writeAll(file, line, length);
    // The next program, or a person, may read the trace at once.
    FlushFileBuffers(file);
}

// The console-event path takes the lock for good before it writes: a line the
// program's thread was writing is complete, and no later one follows.
void holdEndingSignals() { AcquireSRWLockExclusive(&traceLock); }
void releaseEndingSignals() { ReleaseSRWLockExclusive(&traceLock); }

void sayOnSignal(const char* text) { farewellText.store(text, std::memory_order_release); }
void removeOnSignal(const char* path) { fileToRemove.store(path, std::memory_order_release); }

void farewellOnSignal() {
    if (const char* path = fileToRemove.exchange(nullptr, std::memory_order_acq_rel); path != nullptr) {
        DeleteFileA(path);
    }
    if (const char* text = farewellText.exchange(nullptr, std::memory_order_acq_rel); text != nullptr) {
        // Lines end as the program's other output does on Windows.
        const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
        const char* line = text;
        for (const char* at = text;; ++at) {
            if (*at != '\n' && *at != '\0') continue;
            writeAll(error, line, static_cast<std::size_t>(at - line));
            if (*at == '\0') break;
            writeAll(error, "\r\n", 2);
            line = at + 1;
        }
    }
}

}  // namespace platform
