// Timed write and read on the open port, and the one console helper of the
// serial link.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/scratch_buffer.h"
#include "platform/platform.h"


// 1 when all bytes were sent; 0 with the last error set (UPD_ERR_TIMEOUT when
// more than limitMs passed; limit 0 means none).
int writeTimed(platform::PortHandle port, const void* data, std::uint32_t count, std::uint32_t limitMs);

// Waits for one byte. 1 when a byte arrived or the limit passed (the
// destination then keeps its content); 0 when a read failed.
int readCharTimed(platform::PortHandle port, std::uint8_t* destination, std::uint32_t limitMs);

// Writes the text and as many backspaces, so the next output overwrites it.
void printErasable(std::FILE* stream, const char* text);
