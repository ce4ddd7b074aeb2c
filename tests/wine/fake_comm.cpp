// The driver of fake_comm.h.
#include "fake_comm.h"

#include <algorithm>
#include <cstring>

namespace fakecomm {

namespace {

Driver state;
HANDLE const kPortHandle = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(0x4321));

void log(const char* name, DWORD value) { state.calls.push_back({name, state.nowMs, value, state.dtr || state.rts}); }

BOOL failGone() {
    SetLastError(state.goneError);
    return FALSE;
}

DWORD queuedNow() { return state.nowMs >= state.queueEmptyAtMs ? 0 : state.queued; }

}  // namespace

Driver& driver() { return state; }

void reset() {
    state = Driver{};
    state.dcb.DCBlength = sizeof state.dcb;
    state.dcb.BaudRate = 9600;
    state.dcb.fBinary = 1;
    state.dcb.ByteSize = 8;
    state.dcb.fDtrControl = DTR_CONTROL_ENABLE;
    state.dcb.fRtsControl = RTS_CONTROL_ENABLE;
}

std::vector<Driver::Call> callsNamed(const std::string& name) {
    std::vector<Driver::Call> found;
    for (const Driver::Call& call : state.calls) {
        if (call.name == name) found.push_back(call);
    }
    return found;
}

HANDLE fakeCreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    state.dtr = state.dcb.fDtrControl != DTR_CONTROL_DISABLE;
    state.rts = state.dcb.fRtsControl != RTS_CONTROL_DISABLE;
    log("CreateFileA", 0);
    return kPortHandle;
}

BOOL fakeCloseHandle(HANDLE) {
    log("CloseHandle", 0);
    state.dtr = false;
    state.rts = false;
    return TRUE;
}

BOOL fakeGetCommState(HANDLE, LPDCB dcb) {
    log("GetCommState", 0);
    if (state.gone) return failGone();
    *dcb = state.dcb;
    return TRUE;
}

BOOL fakeSetCommState(HANDLE, LPDCB dcb) {
    log("SetCommState", dcb->BaudRate);
    if (state.gone) return failGone();
    state.dcb = *dcb;
    if (state.keepsBaud != 0) state.dcb.BaudRate = state.keepsBaud;
    if (state.dropsCtsFlow) state.dcb.fOutxCtsFlow = 0;
    state.dtr = state.dcb.fDtrControl != DTR_CONTROL_DISABLE;
    state.rts = state.dcb.fRtsControl != RTS_CONTROL_DISABLE;
    return TRUE;
}

// As the serial driver: a line it drives itself (handshake, toggle) is not
// set by hand.
BOOL fakeEscapeCommFunction(HANDLE, DWORD function) {
    log("EscapeCommFunction", function);
    if (state.gone) return failGone();
    const bool dtrByDriver = state.dcb.fDtrControl == DTR_CONTROL_HANDSHAKE;
    const bool rtsByDriver = state.dcb.fRtsControl == RTS_CONTROL_HANDSHAKE || state.dcb.fRtsControl == RTS_CONTROL_TOGGLE;
    switch (function) {
        case SETDTR:
        case CLRDTR:
            if (dtrByDriver) break;
            state.dtr = function == SETDTR;
            return TRUE;
        case SETRTS:
        case CLRRTS:
            if (rtsByDriver) break;
            state.rts = function == SETRTS;
            return TRUE;
        default: break;
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

BOOL fakeGetCommTimeouts(HANDLE, LPCOMMTIMEOUTS timeouts) {
    if (state.gone) return failGone();
    *timeouts = state.timeouts;
    return TRUE;
}

BOOL fakeSetCommTimeouts(HANDLE, LPCOMMTIMEOUTS timeouts) {
    if (state.gone) return failGone();
    state.timeouts = *timeouts;
    return TRUE;
}

BOOL fakeClearCommError(HANDLE, LPDWORD errors, LPCOMSTAT status) {
    log("ClearCommError", 0);
    if (state.gone) return failGone();
    if (errors != nullptr) *errors = 0;
    if (status != nullptr) {
        *status = COMSTAT{};
        status->cbOutQue = queuedNow();
        DWORD arrived = 0;
        for (const Driver::Arrival& arrival : state.arrivals) arrived += arrival.atMs <= state.nowMs ? 1 : 0;
        status->cbInQue = arrived;
    }
    return TRUE;
}

BOOL fakePurgeComm(HANDLE, DWORD flags) {
    log("PurgeComm", flags);
    if (state.gone) return failGone();
    if ((flags & PURGE_TXCLEAR) != 0) state.queued = 0;
    return TRUE;
}

BOOL fakeGetCommModemStatus(HANDLE, LPDWORD status) {
    if (state.gone) return failGone();
    if (!state.hasModemLines) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    *status = state.modemStatus;
    return TRUE;
}

// ReadIntervalTimeout MAXDWORD with both totals 0: at once with what has
// arrived. With the multiplier MAXDWORD too: waits up to the constant for the
// first byte. All 0: waits for every byte asked for.
BOOL fakeReadFile(HANDLE, LPVOID buffer, DWORD size, LPDWORD count, LPOVERLAPPED) {
    *count = 0;
    const COMMTIMEOUTS& t = state.timeouts;
    const bool waits = !(t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                         t.ReadTotalTimeoutConstant == 0);
    log("ReadFile", waits ? t.ReadTotalTimeoutConstant : 0);
    if (state.gone) return failGone();
    if (waits && size > 0 && (state.arrivals.empty() || state.arrivals.front().atMs > state.nowMs)) {
        const DWORD deadline = t.ReadTotalTimeoutConstant == 0 ? kNever : state.nowMs + t.ReadTotalTimeoutConstant;
        const DWORD next = state.arrivals.empty() ? kNever : state.arrivals.front().atMs;
        if (next == kNever && deadline == kNever) {
            SetLastError(ERROR_INVALID_PARAMETER);  // the test would hang here
            return FALSE;
        }
        state.nowMs = std::min(next, deadline);
    }
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (*count < size && !state.arrivals.empty() && state.arrivals.front().atMs <= state.nowMs) {
        bytes[(*count)++] = state.arrivals.front().byte;
        state.arrivals.pop_front();
    }
    return TRUE;
}

BOOL fakeWriteFile(HANDLE, LPCVOID, DWORD size, LPDWORD count, LPOVERLAPPED) {
    log("WriteFile", size);
    if (state.gone) return failGone();
    *count = size;
    return TRUE;
}

void fakeSleep(DWORD ms) {
    log("Sleep", ms);
    state.nowMs += ms;
}

DWORD fakeTimeGetTime() { return state.nowMs; }

MMRESULT fakeTimeBeginPeriod(UINT period) {
    log("timeBeginPeriod", period);
    return TIMERR_NOERROR;
}

MMRESULT fakeTimeEndPeriod(UINT) { return TIMERR_NOERROR; }

}  // namespace fakecomm
