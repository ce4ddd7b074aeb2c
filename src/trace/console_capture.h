// Standard output and standard error seen on their way out: both are replaced
// by streams that write to the same descriptors unbuffered and hand a copy of
// each piece to a sink, so that no print in the program needs a hook. Only
// where the C library lets a program make streams of its own (glibc);
// elsewhere nothing is captured.
#pragma once

#include <cstddef>

namespace trace {

// stream: "stdout" or "stderr"; data: the bytes that reached its descriptor.
using ConsoleSink = void (*)(const char* stream, const char* data, std::size_t size);

// True when both streams go through the sink from now on; false: nothing changed.
bool watchConsole(ConsoleSink sink);
// Gives the program its own streams back; nothing when none were replaced.
void unwatchConsole();

}  // namespace trace
