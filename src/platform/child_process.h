// Other processes, for serving many ports at once: the program starts itself
// once per port and reads what each one prints. One process per port keeps
// every port on the same single-threaded code as a run on one port, and a
// fault in one never reaches the others. Also the stop requests (Ctrl-C,
// SIGTERM, the console's control events) the one starting them must answer,
// the report file that must survive a crash, and a port's stable name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct ChildStart {
    std::vector<std::string> arguments;  // arguments[0] is the program to run
    // Added to (or replacing in) the environment the child inherits.
    std::vector<std::pair<std::string, std::string>> environment;
    bool shareInput = false;  // the child reads our standard input; else it reads nothing
};

struct Child;
using ChildHandle = Child*;

// Starts the program; its standard output and error come back to us through
// readChild. nullptr with the system's code when it cannot be started.
ChildHandle startChild(const ChildStart& start);

enum class ChildStream { Output, Error };

// What has arrived from the child, possibly nothing; returns the byte count.
// `closed` turns true once the child has closed that stream and all was read.
std::size_t readChild(ChildHandle child, ChildStream stream, char* buffer, std::size_t size, bool& closed);

// Blocks until one of the children has written or ended, a stop was
// requested, or timeoutMs passed. Costs no processor time while waiting.
void waitForChildren(const std::vector<ChildHandle>& children, std::uint32_t timeoutMs);

struct ChildEnd {
    bool ended = false;
    int exitCode = 0;   // valid when ended by itself
    int signal = 0;     // non-zero: ended by this signal (POSIX) or a fault code (Windows)
};

// Does not wait: `ended` false while the child runs.
ChildEnd childEnd(ChildHandle child);

// Asks the child to stop the way a user's Ctrl-C would (it puts its line back
// first); `hard` ends it at once.
void stopChild(ChildHandle child, bool hard);

// Frees the handle; the child must have ended.
void releaseChild(ChildHandle child);

// The path of the running program, for starting it again.
std::string ownProgramPath(const char* argv0);

// From now on Ctrl-C, SIGTERM and the console's control events only set a
// flag that stopRequested reads, and wake waitForChildren.
void catchStopRequests();
bool stopRequested();

// Whether standard output is a terminal a person watches that takes cursor
// movements (a table may be redrawn there), and how many columns it has (80
// when it cannot tell).
bool standardOutputTakesCursorMoves();
unsigned terminalColumns();

// A file records are appended to. Every append is one write of the whole
// record, made durable (fsync) before it returns.
struct AppendFile;
using AppendHandle = AppendFile*;
AppendHandle openForAppending(const char* path);
bool appendDurably(AppendHandle file, const std::string& text);
void closeAppendFile(AppendHandle file);

// The name a port is known by however it was reached (links resolved), to
// tell that two names lead to one adapter. The name itself if it leads nowhere.
std::string canonicalPortName(const std::string& device);
// The name that stays with the adapter: its /dev/serial/by-id link (else
// by-path); the port itself where there is none.
std::string stablePortName(const std::string& device, const std::string& devRoot);
// The names a pattern with '*' and '?' matches among the machine's character
// devices, in name order; the system console is never among them.
std::vector<std::string> matchPortPattern(const std::string& pattern);

}  // namespace platform
