// A serial driver in place of the system's, for the Win32 port code compiled
// into win32_driver_tests (included before every source of that test): the
// communication calls, Sleep and timeGetTime go to the driver below, which
// runs on a virtual clock. It shows what no pseudo-terminal under Wine can: a
// transmit queue that empties late or never, a driver that keeps another
// speed or drops the handshake, modem lines, reads that block in the driver.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace fakecomm {

constexpr DWORD kNever = 0xFFFFFFFFu;

struct Driver {
    DWORD nowMs = 0;
    DCB dcb{};                        // what GetCommState reads
    COMMTIMEOUTS timeouts{};
    // The transmit queue holds `queued` bytes until queueEmptyAtMs (kNever: held by CTS).
    DWORD queued = 0;
    DWORD queueEmptyAtMs = 0;
    bool gone = false;                // every call fails with goneError
    DWORD goneError = ERROR_GEN_FAILURE;
    DWORD keepsBaud = 0;              // non-zero: SetCommState leaves this speed in force
    bool dropsCtsFlow = false;        // SetCommState keeps fOutxCtsFlow off
    bool hasModemLines = true;
    DWORD modemStatus = MS_CTS_ON;
    struct Arrival {
        DWORD atMs;
        unsigned char byte;
    };
    std::deque<Arrival> arrivals;     // bytes the far end sends, in time order
    // The modem lines the port drives. Opening raises each that the DCB does
    // not keep disabled, SetCommState follows the DCB, closing drops both.
    bool dtr = false;
    bool rts = false;
    struct Call {
        std::string name;
        DWORD atMs;
        DWORD value;                  // SetCommState: BaudRate; Sleep: ms; ReadFile: total time-out
        bool linesRaised = false;     // DTR or RTS high when the call came
    };
    std::vector<Call> calls;
};

Driver& driver();
void reset();
// Calls of that name, in order.
std::vector<Driver::Call> callsNamed(const std::string& name);

HANDLE fakeCreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
BOOL fakeCloseHandle(HANDLE);
BOOL fakeGetCommState(HANDLE, LPDCB);
BOOL fakeSetCommState(HANDLE, LPDCB);
BOOL fakeGetCommTimeouts(HANDLE, LPCOMMTIMEOUTS);
BOOL fakeSetCommTimeouts(HANDLE, LPCOMMTIMEOUTS);
BOOL fakeClearCommError(HANDLE, LPDWORD, LPCOMSTAT);
BOOL fakePurgeComm(HANDLE, DWORD);
BOOL fakeEscapeCommFunction(HANDLE, DWORD);
BOOL fakeGetCommModemStatus(HANDLE, LPDWORD);
BOOL fakeReadFile(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
BOOL fakeWriteFile(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
void fakeSleep(DWORD);
DWORD fakeTimeGetTime();
MMRESULT fakeTimeBeginPeriod(UINT);
MMRESULT fakeTimeEndPeriod(UINT);

}  // namespace fakecomm

#define CreateFileA fakecomm::fakeCreateFileA
#define CloseHandle fakecomm::fakeCloseHandle
#define GetCommState fakecomm::fakeGetCommState
#define SetCommState fakecomm::fakeSetCommState
#define GetCommTimeouts fakecomm::fakeGetCommTimeouts
#define SetCommTimeouts fakecomm::fakeSetCommTimeouts
#define ClearCommError fakecomm::fakeClearCommError
#define PurgeComm fakecomm::fakePurgeComm
#define EscapeCommFunction fakecomm::fakeEscapeCommFunction
#define GetCommModemStatus fakecomm::fakeGetCommModemStatus
#define ReadFile fakecomm::fakeReadFile
#define WriteFile fakecomm::fakeWriteFile
#define Sleep fakecomm::fakeSleep
#define timeGetTime fakecomm::fakeTimeGetTime
#define timeBeginPeriod fakecomm::fakeTimeBeginPeriod
#define timeEndPeriod fakecomm::fakeTimeEndPeriod
