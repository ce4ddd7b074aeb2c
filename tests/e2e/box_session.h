// One session of the built program against the box emulator on a real
// pseudo-terminal: boxsim publishes its port in a temporary directory, update
// runs with COM1 pointed there (and COM2 to COM4 at missing paths), and the
// test gets both programs' output, the dialogue log and the image the box
// would flash.
//
// With UPDATE_E2E_WINE set to a Windows build directory (scripts/windows/e2e.sh
// sets it), the same sessions run that build's update.exe under Wine instead:
// boxsim publishes its port where Wine's COM1 leads, inside the guard of
// scripts/windows/wine-env.sh, which hides the machine's real serial ports.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/process.h"

namespace e2e {

struct BoxSession {
    test_support::ProcessResult update;
    test_support::ProcessResult boxsim;
    std::string flashedImage;  // what boxsim wrote with --image-out (empty if nothing)
    std::vector<std::string> flashedImages;  // every box's, box 1 first, up to the first box without one
    std::string dialogueLog;   // boxsim's --log
};

struct SessionOptions {
    std::vector<std::string> boxsimArgs;  // scenario options; --link, --log, --image-out are added
    std::vector<std::string> updateArgs;  // the program's arguments, without the program name
    test_support::ProcessOptions update;                // environment additions, standard input, time limit
    bool fullSpeed = true;                // carry bytes at once instead of at the line's real rate
    std::map<std::string, std::string> files;  // written into the session's directory first (name, content)
    // The program is started through this command (e.g. a shell that sets a
    // limit first), which gets the program and its arguments after its own.
    std::vector<std::string> launcher;
    // Under Wine: the COM port whose path boxsim publishes at (1 to 4, or 10:
    // the ports scripts/windows/wine-env.sh maps).
    unsigned wineComPort = 1;
};

// True when the sessions run update.exe under Wine. Wine's serial emulation
// differs from Windows in places (a closed far end reads as silence, not as a
// failure); a test that depends on such a place skips under Wine and says why.
bool underWine();

// The command that starts the program: the built update, or wine with
// update.exe under Wine.
std::vector<std::string> updateCommand();

// Runs the session in `dir`; the program's working directory is `dir` too,
// unless options.update.workingDirectory says otherwise.
BoxSession runSession(const test_support::TempDirectory& dir, const SessionOptions& options);
BoxSession runSession(const test_support::TempDirectory& dir, std::vector<std::string> boxsimArgs, std::vector<std::string> updateArgs);

// Runs the sessions at the same time, each in a fresh directory of its own
// (removed afterwards); the results come in the order given.
std::vector<BoxSession> runSessions(const std::vector<SessionOptions>& sessions);

// Runs the jobs on `workers` threads, each taking the next job when it is free:
// a session spends most of its time in the dialogue's fixed pauses, not work.
void runConcurrently(const std::vector<std::function<void()>>& jobs, unsigned workers);

// The processors this test may run on, as nproc counts them: how many
// sessions a test runs side by side when they are bound by the machine.
unsigned cores();

// One line of the dialogue log that carried bytes: who sent them, at which
// speed, and the bytes as the log shows them (printable text as is, the rest
// escaped as \xHH, \r, \n; long runs cut short).
struct LoggedBytes {
    double timeSeconds = 0;
    bool fromPc = false;
    unsigned baud = 0;
    std::string text;
};
std::vector<LoggedBytes> loggedBytes(const std::string& dialogueLog);
// What the PC sent, in order, one entry per logged line.
std::vector<LoggedBytes> pcBytes(const std::string& dialogueLog);

// Byte-for-byte equality of two binary texts, told briefly when it fails
// (sizes and the first differing offset) instead of dumping both.
::testing::AssertionResult sameBytes(const std::string& actual, const std::string& expected);

// A padded image: length, extension (none, the type, or the type and the id),
// payload, byte sum.
std::string paddedImage(const std::string& payload, int imageType = -1, long long imageId = -1);

// Deterministic payload bytes of the given size, rich in zero bytes as real
// images are.
std::string samplePayload(std::size_t size, unsigned seed = 1);

// What the program prints after a successful update of the box on port 1.
std::string successBanner();

}  // namespace e2e
