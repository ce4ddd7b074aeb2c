// Serial ports through the Win32 communications API, without overlapped I/O.
#include <windows.h>
#include <mmsystem.h>

#include <cstring>
#include <string>

#include "platform/line_timing.h"
#include "platform/platform.h"
#include "platform/raw_port.h"
#include "platform/serial_ports.h"
#include "platform/win32/console_control.h"
#include "platform/win32/line_restore.h"
#include "platform/win32/native_port.h"
#include "platform/win32/system_error.h"

namespace platform {

struct Port {
    HANDLE handle;
    // What the port was set to before we touched it, given back on closing so
    // that the next program finds the port as it was.
    bool haveSavedState;
    DCB savedState;
    bool haveSavedTimeouts;
    COMMTIMEOUTS savedTimeouts;
    // The write time-outs last set: a wait changes the read fields of the
    // same record and must put these back as they were.
    DWORD writeMultiplierMs;
    DWORD writeConstantMs;
    // A byte that a wait took off the line; the next read hands it out first.
    bool holding;
    unsigned char held;
};

namespace {

bool invalidHandle() {
    setLastError(ERROR_INVALID_HANDLE);
    return false;
}

// A driver may accept a speed it cannot run at and keep another one: the
// DCB read back after every set tells.
bool speedApplied(HANDLE handle, std::uint32_t baud) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) return failWithSystemError();
    if (dcb.BaudRate == baud) return true;
    setLastError(kErrorSpeedNotApplied);
    return false;
}

// A read returns at once with what has arrived (ReadIntervalTimeout MAXDWORD,
// both totals 0). With waitMs, a read waits for its first byte up to that long
// and then returns at once with what it has: the one combination that blocks
// in the driver without ever waiting for a second byte.
bool installTimeouts(const Port& port, DWORD waitMs) {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = waitMs == 0 ? 0 : MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = waitMs;
    timeouts.WriteTotalTimeoutMultiplier = port.writeMultiplierMs;
    timeouts.WriteTotalTimeoutConstant = port.writeConstantMs;
    return SetCommTimeouts(port.handle, &timeouts) != FALSE;
}

}  // namespace

HANDLE nativeHandle(PortHandle port) { return port == kInvalidPort ? INVALID_HANDLE_VALUE : port->handle; }

PortHandle openPortRaw(const char* device) {
    const PortCall call;
    if (device == nullptr || device[0] == '\0') {
        setLastError(ERROR_FILE_NOT_FOUND);
        return kInvalidPort;
    }
    // The \\.\ prefix reaches the device whatever the current directory
    // holds, and is the only way to COM10 and up.
    const std::string name = std::strncmp(device, "\\\\.\\", 4) == 0 ? device : std::string("\\\\.\\") + device;

    SECURITY_ATTRIBUTES security{};
    security.nLength = sizeof security;
    security.lpSecurityDescriptor = nullptr;
    security.bInheritHandle = TRUE;
    HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &security, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        failWithSystemError();
        return kInvalidPort;
    }

    Port* port = new Port{};
    port->handle = handle;
    // A device that cannot report its settings is the caller's finding to make
    // when it configures the line; here it only means nothing to restore.
    port->savedState.DCBlength = sizeof(DCB);
    port->haveSavedState = GetCommState(handle, &port->savedState) != FALSE;
    port->haveSavedTimeouts = GetCommTimeouts(handle, &port->savedTimeouts) != FALSE;
    restoreOnConsoleEvent(handle, port->haveSavedState ? &port->savedState : nullptr,
                          port->haveSavedTimeouts ? &port->savedTimeouts : nullptr);
    return port;
}

bool configureLineRaw(PortHandle port, std::uint32_t baud, bool hardwareHandshake) {
    const PortCall call;
    if (port == kInvalidPort) return invalidHandle();
    // Opening raised DTR and RTS (the driver does, as its DCB says); a box
    // without handshake lines gets them dropped before anything else, so that
    // the pulse lasts only the calls of the open. A driver refuses these while
    // it drives the line itself (handshake or toggle): the DCB below drops it.
    if (!hardwareHandshake) {
        EscapeCommFunction(port->handle, CLRDTR);
        EscapeCommFunction(port->handle, CLRRTS);
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port->handle, &dcb)) return failWithSystemError();
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = baud;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = hardwareHandshake ? 1 : 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = hardwareHandshake ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = hardwareHandshake ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = 0;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(port->handle, &dcb)) return failWithSystemError();
    return speedApplied(port->handle, baud);
}

bool getBaudRateRaw(PortHandle port, std::uint32_t& baud) {
    const PortCall call;
    if (port == kInvalidPort) return invalidHandle();
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port->handle, &dcb)) return failWithSystemError();
    baud = dcb.BaudRate;
    return true;
}

bool setBaudRateRaw(PortHandle port, std::uint32_t baud) {
    const PortCall call;
    if (port == kInvalidPort) return invalidHandle();
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port->handle, &dcb)) return failWithSystemError();
    dcb.BaudRate = baud;
    if (!SetCommState(port->handle, &dcb)) return failWithSystemError();
    return speedApplied(port->handle, baud);
}

bool setWriteTimeouts(PortHandle port, std::uint32_t multiplierMs, std::uint32_t constantMs) {
    const PortCall call;
    if (port == kInvalidPort) return invalidHandle();
    port->writeMultiplierMs = multiplierMs;
    port->writeConstantMs = constantMs;
    return installTimeouts(*port, 0) || failWithSystemError();
}

void clearErrors(PortHandle port) {
    const PortCall call;
    if (port == kInvalidPort) return;
    DWORD errors = 0;
    COMSTAT status{};
    ClearCommError(port->handle, &errors, &status);
}

bool readPortRaw(PortHandle port, void* buffer, std::uint32_t size, std::uint32_t& received) {
    const PortCall call;
    received = 0;
    if (port == kInvalidPort) return invalidHandle();
    auto* bytes = static_cast<unsigned char*>(buffer);
    if (port->holding && size > 0) {
        bytes[0] = port->held;
        port->holding = false;
        received = 1;
        // Whatever else has come follows it; a failure here shows on the next read.
        DWORD more = 0;
        if (size > 1 && ReadFile(port->handle, bytes + 1, size - 1, &more, nullptr)) received += more;
        return true;
    }
    DWORD count = 0;
    BOOL ok = ReadFile(port->handle, buffer, size, &count, nullptr);
    received = count;
    return ok || failWithSystemError();
}

bool writePortRaw(PortHandle port, const void* data, std::uint32_t size, std::uint32_t& sent) {
    const PortCall call;
    sent = 0;
    if (port == kInvalidPort) return invalidHandle();
    DWORD count = 0;
    BOOL ok = WriteFile(port->handle, data, size, &count, nullptr);
    sent = count;
    if (!ok) return failWithSystemError();
    // Drivers differ in how a write that ran into its time-out ends: with
    // ERROR_COUNTER_TIMEOUT, or as success with fewer bytes taken. The callers
    // see one answer.
    if (count < size) {
        setLastError(kErrorCounterTimeout);
        return false;
    }
    return true;
}

void waitForInput(PortHandle port, std::uint32_t timeoutMs) {
    const PortCall call;
    if (port == kInvalidPort || port->holding || timeoutMs == 0) return;
    // The driver holds the thread until the first byte or the deadline: a
    // one-byte read under a read time-out, its byte kept for the next read.
    // MAXDWORD is no time-out in that field, so "for ever" is a long one, asked
    // for again should it ever pass.
    constexpr DWORD kLongestWaitMs = MAXDWORD - 1;
    constexpr DWORD kEarlyReturnSlackMs = 20;
    const DWORD start = timeGetTime();
    for (;;) {
        DWORD waitMs = kLongestWaitMs;
        if (timeoutMs != kWaitForever) {
            const DWORD elapsed = timeGetTime() - start;
            if (elapsed >= timeoutMs) return;
            waitMs = timeoutMs - elapsed;
        }
        if (!installTimeouts(*port, waitMs)) return;
        DWORD count = 0;
        const BOOL ok = ReadFile(port->handle, &port->held, 1, &count, nullptr);
        installTimeouts(*port, 0);
        if (ok && count == 1) port->holding = true;
        // A byte, a failure (the next read reports it) or a read that ended
        // before its time (a line that has gone away): the caller looks.
        if (!ok || count == 1 || timeoutMs == kWaitForever) return;
        if (timeGetTime() - start + kEarlyReturnSlackMs < timeoutMs) return;
    }
}

namespace {

// Output still queued is looked at this often while the drain waits: a handle
// without overlapped I/O has no wait for an empty transmit queue that ends
// with a deadline (WaitCommEvent on EV_TXEMPTY could block for ever).
constexpr DWORD kDrainLookMs = 5;

enum class Drain { Empty, Held, Gone };

// Waits until the driver's transmit queue is empty (cbOutQue 0), at most limitMs.
Drain drainTransmitQueue(HANDLE handle, DWORD limitMs) {
    const DWORD start = timeGetTime();
    for (;;) {
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(handle, &errors, &status)) return Drain::Gone;
        if (status.cbOutQue == 0) return Drain::Empty;
        const DWORD elapsed = timeGetTime() - start;
        if (elapsed >= limitMs) return Drain::Held;
        Sleep(limitMs - elapsed < kDrainLookMs ? limitMs - elapsed : kDrainLookMs);
    }
}

}  // namespace

void closePortRaw(PortHandle port) {
    const PortCall call;
    if (port == kInvalidPort) return;
    const std::uint32_t keptError = lastError();
    // A port that can no longer be asked (the adapter was pulled) has nothing
    // left to send and no settings to give back: it is only closed.
    DCB current{};
    current.DCBlength = sizeof current;
    if (GetCommState(port->handle, &current)) {
        // What a line held by CTS still keeps back after the bound never
        // leaves later at the old speed.
        if (drainTransmitQueue(port->handle, kCloseDrainLimitMs) == Drain::Held) {
            PurgeComm(port->handle, PURGE_TXCLEAR);
        }
        // The last bytes are still in the UART's FIFO, its shift register or
        // the adapter's buffer, which no queue count includes.
        Sleep(closeMarginMs(current.BaudRate));
        if (port->haveSavedState) {
            DCB restored = stateToRestore(port->savedState, current);
            SetCommState(port->handle, &restored);
        }
        if (port->haveSavedTimeouts) SetCommTimeouts(port->handle, &port->savedTimeouts);
    }
    forgetOnConsoleEvent(port->handle);  // only now: an event before this still restores
    CloseHandle(port->handle);
    delete port;
    setLastError(keptError);
}

bool getLineStatus(PortHandle port, LineStatus& status) {
    const PortCall call;
    status = LineStatus{};
    if (port == kInvalidPort) return invalidHandle();
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port->handle, &dcb)) return failWithSystemError();
    status.handshakeOn = dcb.fOutxCtsFlow != 0;
    // A device without modem lines (some virtual ports) refuses the call.
    DWORD lines = 0;
    status.modemLinesKnown = GetCommModemStatus(port->handle, &lines) != FALSE;
    status.clearToSend = status.modemLinesKnown && (lines & MS_CTS_ON) != 0;
    return true;
}

// WriteFile under write time-outs returns once the driver has taken the
// bytes; a USB adapter's driver may still queue them.
bool waitUntilSent(PortHandle port, std::uint32_t timeoutMs) {
    const PortCall call;
    if (port == kInvalidPort) return invalidHandle();
    switch (drainTransmitQueue(port->handle, timeoutMs)) {
        case Drain::Empty: return true;
        case Drain::Gone: return failWithSystemError();
        case Drain::Held: break;
    }
    PurgeComm(port->handle, PURGE_TXCLEAR);
    setLastError(kErrorCounterTimeout);
    return false;
}

}  // namespace platform
