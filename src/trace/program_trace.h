// The program's own trace (--trace, UPDATE_TRACE): the header, every call on
// the line as the platform makes it, what the user was shown, and how the run
// ended. One trace per run; every function does nothing while none is open.
#pragma once

#include <cstdint>

namespace trace {

struct TraceRequest {
    const char* path = nullptr;  // nullptr: no trace
    bool full = false;           // image data byte for byte instead of length and digest
};

// The option wins over UPDATE_TRACE; UPDATE_TRACE_FULL=1 asks for the full form.
TraceRequest traceRequest(const char* optionPath, bool optionFull);

// Creates the file and writes the header. False, with the platform's last
// error, when the file cannot be created.
bool startTrace(const TraceRequest& request, int argc, char** argv);

void traceImage(const char* name, std::uint32_t size, std::uint8_t type, std::uint32_t id);
// A line of the program's own in the trace, beside what the user is shown.
void traceNote(const char* text);
// The last line; writes everything out and closes the file.
void finishTrace(int exitCode);

}  // namespace trace
