// The operating system under the program: serial device, files, clock, sleep,
// last error, local time and beep. Declared once, implemented once per system
// (posix/, win32/) and once more, simulated, for the tests. The implementation
// is chosen at link time.
//
// Everything the program decides (steps, messages, limits, pauses) lives above
// this layer; an implementation only carries out single calls.
#pragma once

#include <cstdint>

#if !defined(_WIN32)
#include <cerrno>
#endif

namespace platform {

// ---------------------------------------------------------------------------
// Last error: the thread's error value. It carries the system's own codes
// (errno values on POSIX, GetLastError codes on Win32) and the program's status
// codes, which have bit 29 set and so never collide with them.

std::uint32_t lastError();
void setLastError(std::uint32_t code);

// System codes the program acts upon.
#if defined(_WIN32)
inline constexpr std::uint32_t kErrorCounterTimeout = 1121;   // a write ran into its time-out
inline constexpr std::uint32_t kErrorOperationAborted = 995;  // a read was aborted: reopen the port
#else
inline constexpr std::uint32_t kErrorCounterTimeout = ETIMEDOUT;
// A line that hung up (cable or adapter pulled): the port is closed and opened anew.
inline constexpr std::uint32_t kErrorOperationAborted = EIO;
#endif
// The driver accepted a speed but the line does not run at it (read back
// after every set). Bit 29: a code of the program's, on every system.
inline constexpr std::uint32_t kErrorSpeedNotApplied = 0x20000100;

// Codes a call on an open port fails with when the device behind it has gone:
// the cable or the USB adapter was pulled, or the driver removed the device.
// Each is handled as a hang-up: the access loop opens the port anew, every
// other wait ends with its one message. Win32: the serial driver's own codes
// (ERROR_OPERATION_ABORTED, ERROR_NOT_READY) and those USB serial drivers
// return for a device that is gone (ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND,
// ERROR_GEN_FAILURE, ERROR_DEV_NOT_EXIST, ERROR_NO_SUCH_DEVICE,
// ERROR_DEVICE_NOT_CONNECTED, ERROR_DEVICE_REMOVED).
#if defined(_WIN32)
inline constexpr std::uint32_t kLineGoneCodes[] = {5, 21, 22, 31, 55, 433, 995, 1167, 1617};
#else
inline constexpr std::uint32_t kLineGoneCodes[] = {EIO, ENXIO, ENODEV};
#endif

inline bool lineHasGone(std::uint32_t code) {
    for (const std::uint32_t gone : kLineGoneCodes) {
        if (code == gone) return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Time.

// Milliseconds since an arbitrary start, wrapping at 2^32: take differences in
// unsigned 32-bit arithmetic. Every time limit of the program counts on it
// (the tests' simulated platform runs it on a virtual clock).
std::uint32_t millis();
// Microseconds on the system's monotonic clock, wide enough never to wrap: the
// times of the trace. Async-signal-safe, since the signal path stamps the
// trace's last line with it; always the system's own, under the tests too.
std::uint64_t monotonicUs();
void sleepMs(std::uint32_t ms);

struct LocalTime {
    int year;    // e.g. 2026
    int month;   // 1 to 12
    int day;     // 1 to 31
    int hour;    // 0 to 23
    int minute;  // 0 to 59
    int second;  // 0 to 59
};
LocalTime localTime();

// Sounds the bell; never writes to standard output or standard error.
void beep(unsigned frequencyHz, unsigned durationMs);

// ---------------------------------------------------------------------------
// Serial port.

struct Port;
using PortHandle = Port*;
inline constexpr PortHandle kInvalidPort = nullptr;

// Waiting for input without a deadline.
inline constexpr std::uint32_t kWaitForever = 0xFFFFFFFFu;

// Opens the named serial device (see serial_ports.h for where names come
// from) for reading and writing, exclusively, without changing its settings.
// kInvalidPort with the system's code on failure.
PortHandle openPort(const char* device);

// Line settings: 8N1, binary, no XON/XOFF, no parity stripping. With the
// hardware handshake DTR is raised and RTS/CTS flow control is on; without it
// DTR and RTS are dropped and nothing is flow-controlled.
bool configureLine(PortHandle port, std::uint32_t baud, bool hardwareHandshake);
bool getBaudRate(PortHandle port, std::uint32_t& baud);
// Changes the speed only; every other setting stays as it is.
bool setBaudRate(PortHandle port, std::uint32_t baud);

// Write time-out of one writePort call: multiplier ms per byte plus constant ms;
// both 0 means none. Reads never wait, whatever is set here.
bool setWriteTimeouts(PortHandle port, std::uint32_t multiplierMs, std::uint32_t constantMs);

// What the driver made of the settings, and what the far end signals.
struct LineStatus {
    // RTS/CTS flow control is in force, as read back from the driver: some
    // drivers accept the flag and drop it.
    bool handshakeOn;
    // The device reports its modem lines (a pseudo-terminal or some adapters
    // do not); without them clearToSend means nothing.
    bool modemLinesKnown;
    // CTS: the far end is ready to take data.
    bool clearToSend;
};
// Fails only when the port cannot be asked at all (a line that has gone).
bool getLineStatus(PortHandle port, LineStatus& status);

// Blocks until what was written has left the system's transmit buffer (not
// the UART's FIFO or an adapter's own buffer: nothing counts those), the line
// hangs up, or timeoutMs passes. On the time-out it fails with
// kErrorCounterTimeout and discards what is still waiting, as a write that
// runs into its time-out never sends the rest. The timed writes (keys,
// keyword, records) call it so that a line held by CTS fails them in time;
// streamed transfers do not, and keep the buffer full.
bool waitUntilSent(PortHandle port, std::uint32_t timeoutMs);

// Clears the port's error state (line errors, overruns).
void clearErrors(PortHandle port);

// Returns at once with the bytes that have arrived, possibly none. A line that
// has hung up makes the call fail.
bool readPort(PortHandle port, void* buffer, std::uint32_t size, std::uint32_t& received);

// Hands the bytes to the line. Returns when all were taken or the write time-out
// passed; in the second case it fails with kErrorCounterTimeout and `sent` tells
// how many were taken. A hung-up line makes it fail.
bool writePort(PortHandle port, const void* data, std::uint32_t size, std::uint32_t& sent);

// Blocks until input is waiting, the line hangs up, or timeoutMs passed
// (kWaitForever: no deadline). The program's polling loops call it between
// reads, so that waiting costs no processor time; it changes nothing a read
// returns.
void waitForInput(PortHandle port, std::uint32_t timeoutMs);

// Restores the settings the port had when it was opened, then closes it.
// Keeps the last error as it was. What was written leaves first: the drain,
// bounded by line_timing.h's kCloseDrainLimitMs so that a line held by CTS
// cannot stall it, then closeMarginMs for what no drain counts; output still
// held back after that is discarded, never sent later at the old speed.
//
// Modem lines: opening leaves DTR/RTS as the driver raises them; configuring
// sets them (see configureLine); closing drops both where the system does so
// (POSIX: HUPCL is kept as found, Win32: the driver always does).
void closePort(PortHandle port);

// ---------------------------------------------------------------------------
// Files.

struct File;
using FileHandle = File*;
inline constexpr FileHandle kInvalidFile = nullptr;

// Opens an existing regular file for sequential reading, sharing reading with
// others. Directories, FIFOs and devices are refused.
FileHandle openFileForReading(const char* path);
bool fileSize(FileHandle file, std::uint64_t& size);
bool readFile(FileHandle file, void* buffer, std::uint32_t size, std::uint32_t& received);

// Creates the file anew for writing. Whatever stood under that name is removed
// first; a symbolic or hard link there is never followed or written through.
FileHandle createFileAnew(const char* path);
bool writeFile(FileHandle file, const void* data, std::uint32_t size);
// Waits until the system has put what was written on the disk.
bool syncFile(FileHandle file);
// Whether the file lost its last name while it was open (removed under the
// program); false where the system cannot tell or lets no one remove it.
bool fileRemoved(FileHandle file);

// Closes the file; keeps the last error as it was.
void closeFile(FileHandle file);
bool deleteFile(const char* path);

}  // namespace platform
