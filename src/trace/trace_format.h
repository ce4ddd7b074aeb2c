// The lines of a trace: the dialogue on the line, one event a line, written
// the same way by the program (--trace) and by the emulator (--log).
//
//   # update trace, format 1
//   # program: update 1.39
//   # started: 2026-12-08 14:20:31 +0000
//   # command: "update" "--trace" "t.txt" "image.bin"
//   # image data: length and digest
//   # console: standard output and standard error as written
//   # time [s]  direction  baud    bytes
//     0.000412  open     "/dev/ttyUSB0"
//     0.000530  line     38400   handshake on
//     0.001200  PC>box  38400   " quorcom"
//     0.052100  box>PC  38400   "4.11\r\n"
//     1.204000  PC>box  115200  [4096 bytes, digest 8c3f09d2a1b7e655]
//     9.100000  --       stdout "Download file..."
//     9.300000  hangup
//     9.300100  end      exit 1
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace trace {

inline constexpr int kFormat = 1;
inline constexpr const char* kFormatLine = "# update trace, format 1";
#if !defined(UPDATE_VERSION_TEXT)
#define UPDATE_VERSION_TEXT "unknown"
#endif
// The program and version that wrote a trace; a replay wants its own.
inline constexpr const char* kProgramLine = "update " UPDATE_VERSION_TEXT;
// In the header of a trace that holds what the program printed, as it printed it.
inline constexpr const char* kConsoleLine = "# console: standard output and standard error as written";
inline constexpr const char* kColumnsLine = "# time [s]  direction  baud    bytes";

enum class Direction { PcToBox, BoxToPc };

// A byte as the trace shows it: printable as is, the rest escaped (\r \n \t
// \\ \" and \xHH).
void appendEscaped(std::string& out, std::uint8_t value);
void appendQuoted(std::string& out, std::string_view bytes);

// FNV-1a, 64 bits: enough to tell whether the same image data went out.
// Data that arrives in pieces is digested by passing each piece the digest so far.
constexpr std::uint64_t kDigestStart = 14695981039346656037ull;
std::uint64_t digestOf(const void* data, std::size_t size, std::uint64_t digest = kDigestStart);

// "%10.6f" of the seconds, without floating point.
void appendTime(std::string& out, std::uint64_t us);

// The bytes of one read or write. `shown` may hold fewer bytes than `total`
// went (the emulator's long streams): the line then says how many followed.
void appendBytesLine(std::string& out, std::uint64_t us, Direction direction, std::uint32_t baud,
                     std::string_view shown, std::uint64_t total, bool garbled);
// Bulk image data: its length and digest instead of the bytes.
void appendBulkLine(std::string& out, std::uint64_t us, Direction direction, std::uint32_t baud,
                    std::uint64_t size, std::uint64_t digest);
// Anything else that happens: open, line, speed, close, hangup, error, end.
void appendEventLine(std::string& out, std::uint64_t us, std::string_view event, std::string_view detail);
// What the program or the emulator says; not part of the dialogue.
void appendNoteLine(std::string& out, std::uint64_t us, std::string_view text);

}  // namespace trace
