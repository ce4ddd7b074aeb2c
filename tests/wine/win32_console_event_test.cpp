// A console event (Ctrl-C, Ctrl-Break, the console closed) that ends the
// program while its thread is blocked on COM1, behind which
// tests/wine/pty_peer.py stands a pseudo-terminal. The program is this test
// started again as a child: the event ends it, and the parent looks at what it
// left: the line's settings, the trace's last line, the file it removes, its
// exit code.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/platform.h"
#include "platform/serial_ports.h"
#include "platform/signal_flush.h"
#include "platform/win32/console_control.h"

namespace {

const char* const kChildFlag = "--child";

std::string comName() { return "\\\\.\\" + platform::defaultDeviceForComPort(1); }

bool readState(DCB& dcb) {
    const HANDLE handle = CreateFileA(comName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                      nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    dcb = DCB{};
    dcb.DCBlength = sizeof dcb;
    const bool ok = GetCommState(handle, &dcb) != FALSE;
    CloseHandle(handle);
    return ok;
}

// Leaves COM1 at 9600 without flow control, as another program might have.
bool setOtherProgramsState() {
    const HANDLE handle = CreateFileA(comName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                      nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    bool ok = GetCommState(handle, &dcb) != FALSE;
    dcb.BaudRate = 9600;
    dcb.fOutxCtsFlow = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    ok = ok && SetCommState(handle, &dcb) != FALSE;
    CloseHandle(handle);
    return ok;
}

// ----------------------------------------------------------------------------
// The child: opens COM1 as the program does, hands a trace with an unfinished
// line to the event path, then blocks in a wait without end. Its second thread
// raises the event once the main thread is about to block; the cancel that the
// handler repeats covers the moment between.

struct ChildPlan {
    DWORD event;
    bool delivered;  // through the system (GenerateConsoleCtrlEvent), not a direct call
    const char* tracePath;
    const char* padPath;
};

HANDLE aboutToWait = nullptr;

DWORD WINAPI raiseEvent(void* argument) {
    const ChildPlan& plan = *static_cast<const ChildPlan*>(argument);
    WaitForSingleObject(aboutToWait, INFINITE);
    if (plan.delivered) {
        if (GenerateConsoleCtrlEvent(plan.event, GetCurrentProcessId())) return 0;
        std::printf("no console event from the system (%lu): the handler is called\n", GetLastError());
        std::fflush(stdout);
    }
    platform::endOnConsoleEvent(plan.event);
    return 1;
}

int runChild(const ChildPlan& plan) {
    platform::PortHandle port = platform::openPort(platform::defaultDeviceForComPort(1).c_str());
    if (port == platform::kInvalidPort || !platform::setWriteTimeouts(port, 1, 10) ||
        !platform::configureLine(port, 115200, true)) {
        return 3;
    }
    static char openLine[] = " 42 bytes\n";
    static platform::SignalFlush flush;
    flush.file = platform::createFileAnew(plan.tracePath);
    if (flush.file == platform::kInvalidFile) return 4;
    const char header[] = "# trace\n  0.000001  PC>box  115200  waiting for";
    if (!platform::writeFile(flush.file, header, sizeof header - 1)) return 4;
    flush.data = openLine;
    flush.length.store(std::strlen(openLine));
    flush.startUs = platform::monotonicUs();
    flush.signalEvent = "signal  ";
    platform::flushOnSignal(&flush);
    const platform::FileHandle pad = platform::createFileAnew(plan.padPath);
    if (pad == platform::kInvalidFile) return 5;
    platform::closeFile(pad);
    platform::removeOnSignal(plan.padPath);
    // Open for reading as while it is sent: it must go all the same.
    if (platform::openFileForReading(plan.padPath) == platform::kInvalidFile) return 5;

    aboutToWait = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    CreateThread(nullptr, 0, raiseEvent, const_cast<ChildPlan*>(&plan), 0, nullptr);
    SetEvent(aboutToWait);
    platform::waitForInput(port, platform::kWaitForever);
    // Never reached: the handler ends the process and keeps this thread from
    // going on once it has been woken.
    platform::closePort(port);
    return 6;
}

// ----------------------------------------------------------------------------
// The parent.

std::string ownPath() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, length);
}

std::string tempPath(const char* name) {
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    return std::string(dir) + name;
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct ChildEnd {
    bool started = false;
    DWORD exitCode = 0;
};

// In a process group of its own, as the bench starts a port's process, so
// that Ctrl-Break reaches it alone.
ChildEnd runChildFor(DWORD event, bool delivered, const std::string& trace, const std::string& pad) {
    std::ostringstream command;
    command << '"' << ownPath() << "\" " << kChildFlag << ' ' << event << ' ' << (delivered ? 1 : 0) << " \"" << trace
            << "\" \"" << pad << '"';
    std::string line = command.str();
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ChildEnd end;
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NEW_PROCESS_GROUP, nullptr, nullptr,
                        &startup, &process)) {
        return end;
    }
    end.started = true;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &end.exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return end;
}

std::string lastLine(const std::string& text) {
    std::string body = text;
    if (!body.empty() && body.back() == '\n') body.pop_back();
    const std::size_t start = body.rfind('\n');
    return start == std::string::npos ? body : body.substr(start + 1);
}

struct Event {
    DWORD event;
    bool delivered;
    DWORD exitCode;     // what a shell gives for the matching POSIX signal
    const char* name;
};

class ConsoleEvent : public ::testing::TestWithParam<Event> {
protected:
    void SetUp() override {
        const char* peer = std::getenv("UPDATE_WINE_PEER");
        if (peer == nullptr || std::string(peer) != "1") GTEST_SKIP() << "run through tests/wine/pty_peer.py";
    }
};

TEST_P(ConsoleEvent, PutsTheLineBackAndEndsTheTraceWithTheEvent) {
    const Event& event = GetParam();
    ASSERT_TRUE(setOtherProgramsState()) << GetLastError();
    DCB before{};
    ASSERT_TRUE(readState(before));
    const std::string trace = tempPath("console_event.trace");
    const std::string pad = tempPath("console_event.pad");
    DeleteFileA(trace.c_str());

    const ChildEnd end = runChildFor(event.event, event.delivered, trace, pad);
    ASSERT_TRUE(end.started) << GetLastError();
    EXPECT_EQ(end.exitCode, event.exitCode);

    DCB after{};
    ASSERT_TRUE(readState(after));
    EXPECT_EQ(after.BaudRate, before.BaudRate);
    EXPECT_EQ(after.fOutxCtsFlow, before.fOutxCtsFlow);
    EXPECT_EQ(after.BaudRate, 9600u);

    const std::string text = readAll(trace);
    EXPECT_NE(text.find("waiting for 42 bytes\n"), std::string::npos) << text;
    const std::string last = lastLine(text);
    ASSERT_GE(last.size(), 10u) << text;
    EXPECT_EQ(last.substr(10), std::string("  signal   ") + event.name) << text;
    EXPECT_EQ(GetFileAttributesA(pad.c_str()), INVALID_FILE_ATTRIBUTES) << "the file a failed run removes is there";
    DeleteFileA(trace.c_str());
    DeleteFileA(pad.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Events, ConsoleEvent,
    ::testing::Values(Event{CTRL_C_EVENT, false, 130, "CTRL_C_EVENT"},
                      Event{CTRL_BREAK_EVENT, true, 143, "CTRL_BREAK_EVENT"},
                      Event{CTRL_CLOSE_EVENT, false, 129, "CTRL_CLOSE_EVENT"},
                      Event{CTRL_SHUTDOWN_EVENT, false, 143, "CTRL_SHUTDOWN_EVENT"}),
    [](const ::testing::TestParamInfo<Event>& info) { return std::string(info.param.name); });

}  // namespace

int main(int argc, char** argv) {
    if (argc == 6 && std::strcmp(argv[1], kChildFlag) == 0) {
        static const ChildPlan plan{static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)),
                                    std::strcmp(argv[3], "1") == 0, argv[4], argv[5]};
        return runChild(plan);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
