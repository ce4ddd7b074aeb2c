// The program's own status codes. They travel in the thread's last-error value
// beside the system's codes, from which bit 29 keeps them apart.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t UPD_ERR_BAD_PORT = 0x20000000;           // port number not 1 to 4
inline constexpr std::uint32_t UPD_ERR_REPLY_OVERFLOW = 0x20000001;     // reply space full before a decision
inline constexpr std::uint32_t UPD_ERR_TIMEOUT = 0x20000002;            // a time limit passed
// The image could not go out compressed: the compressor failed, or the image
// type has no compressed download. The messages are printed by
// sendFileCompressed itself; the code only keeps the caller's report apart
// from other failures.
inline constexpr std::uint32_t UPD_ERR_COMPRESSION = 0x20000003;
inline constexpr std::uint32_t UPD_ERR_FLASH_FAILED = 0x20000004;       // box reported an erase/program/transfer failure
inline constexpr std::uint32_t UPD_ERR_FLASH_ID_MISMATCH = 0x20000005;  // box's flash ids do not match
inline constexpr std::uint32_t UPD_ERR_CODE_TABLE = 0x20000006;         // a code did not fit the packing accumulator
inline constexpr std::uint32_t UPD_ERR_BOX_ERROR = 0x20000007;          // box sent an error marker
inline constexpr std::uint32_t UPD_ERR_BOX_STOP = 0x20000008;           // box sent "STOP" during a transfer
