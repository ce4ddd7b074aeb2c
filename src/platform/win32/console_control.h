// Ctrl-C, Ctrl-Break and the console's end (window closed, logoff, shutdown)
// put every open port's line settings back and close it, complete the trace
// and end the program with the code a shell gives for the matching POSIX
// signal, so that a port is never left at our settings behind the program.
//
// The system runs the handler on a thread of its own while the program's
// thread may be blocked in a read or write on the port. The handler first ends
// that I/O and keeps every port call from going on (PortCall below parks the
// thread that makes one), and only then touches the lines.
#pragma once

#include <windows.h>

namespace platform {

// Remembers the port's settings for the handler; installs it on first use.
void restoreOnConsoleEvent(HANDLE port, const DCB* saved, const COMMTIMEOUTS* savedTimeouts);
// The port is being closed: its settings are no longer the handler's business.
void forgetOnConsoleEvent(HANDLE port);

// Held for the length of every call on a port. Once a console event is being
// handled, a thread that starts or ends one never comes back: the handler ends
// the process.
struct PortCall {
    PortCall();
    ~PortCall();
    PortCall(const PortCall&) = delete;
    PortCall& operator=(const PortCall&) = delete;
};

// The handler the system calls: stops the port calls, restores and closes
// the ports, writes out the trace and the farewell, removes the file a failed
// run removes, and ends the process. FALSE for an event it does not take.
// Public for the tests, where the system cannot always deliver an event.
BOOL WINAPI endOnConsoleEvent(DWORD event);

// The name of the event for the trace's last line ("CTRL_C_EVENT"...).
const char* consoleEventName(DWORD event);

}  // namespace platform
