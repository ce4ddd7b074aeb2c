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

// ---------------------------------------------------------------------------
// Time.

// Milliseconds since an arbitrary start, wrapping at 2^32: take differences in
// unsigned 32-bit arithmetic.
std::uint32_t millis();
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
// Keeps the last error as it was.
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
