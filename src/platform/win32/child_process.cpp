// Child processes over CreateProcess and anonymous pipes. An anonymous pipe
// cannot be waited on, so one thread per stream blocks in ReadFile and hands
// what it read over under a lock, setting an event the supervisor waits on.
// Stop requests come from the console's control handler.
#include "platform/child_process.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/platform.h"
#include "platform/serial_ports.h"

namespace platform {

namespace {

struct StreamReader {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE thread = nullptr;
    std::string pending;  // read, not yet handed over
    bool finished = false;
    bool closedSeen = false;
};

}  // namespace

struct Child {
    PROCESS_INFORMATION process{};
    CRITICAL_SECTION lock;
    HANDLE ready = nullptr;  // set whenever a reader has news
    StreamReader streams[2];
    bool reaped = false;
    ChildEnd end;
};

struct AppendFile {
    HANDLE handle = INVALID_HANDLE_VALUE;
};

namespace {

HANDLE stopEvent = nullptr;
volatile LONG stopSeen = 0;

BOOL WINAPI onConsoleEvent(DWORD) {
    InterlockedExchange(&stopSeen, 1);
    if (stopEvent != nullptr) SetEvent(stopEvent);
    return TRUE;
}

struct ReaderStart {
    Child* child;
    int index;
};

DWORD WINAPI readStream(void* argument) {
    auto* start = static_cast<ReaderStart*>(argument);
    Child* child = start->child;
    StreamReader& stream = child->streams[start->index];
    delete start;
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        const BOOL ok = ReadFile(stream.pipe, buffer, sizeof buffer, &got, nullptr);
        EnterCriticalSection(&child->lock);
        if (ok && got > 0) stream.pending.append(buffer, got);
        if (!ok) stream.finished = true;
        LeaveCriticalSection(&child->lock);
        SetEvent(child->ready);
        if (!ok) return 0;
    }
}

// The command line as the C runtime splits it again: quotes around every
// argument with blanks or quotes, backslashes before a quote doubled.
std::string commandLineOf(const std::vector<std::string>& arguments) {
    std::string line;
    for (const std::string& argument : arguments) {
        if (!line.empty()) line += ' ';
        if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) {
            line += argument;
            continue;
        }
        line += '"';
        std::size_t backslashes = 0;
        for (const char c : argument) {
            if (c == '\\') {
                ++backslashes;
                continue;
            }
            if (c == '"') line.append(backslashes * 2 + 1, '\\');
            else line.append(backslashes, '\\');
            backslashes = 0;
            line += c;
        }
        line.append(backslashes * 2, '\\');
        line += '"';
    }
    return line;
}

std::string environmentBlockWith(const ChildStart& start) {
    std::string block;
    char* strings = GetEnvironmentStringsA();
    for (const char* entry = strings; entry != nullptr && *entry != '\0'; entry += std::strlen(entry) + 1) {
        const std::string text = entry;
        bool replaced = false;
        for (const auto& [name, value] : start.environment) {
            replaced = replaced || (text.size() > name.size() && text[name.size()] == '=' &&
                                    _strnicmp(text.c_str(), name.c_str(), name.size()) == 0);
        }
        if (!replaced) block += text + '\0';
    }
    if (strings != nullptr) FreeEnvironmentStringsA(strings);
    for (const auto& [name, value] : start.environment) block += name + "=" + value + '\0';
    block += '\0';
    return block;
}

}  // namespace

ChildHandle startChild(const ChildStart& start) {
    HANDLE reads[2] = {nullptr, nullptr};
    HANDLE writes[2] = {nullptr, nullptr};
    for (int i = 0; i < 2; ++i) {
        if (!CreatePipe(&reads[i], &writes[i], nullptr, 0)) {
            const DWORD error = GetLastError();
            for (int j = 0; j < i; ++j) {
                CloseHandle(reads[j]);
                CloseHandle(writes[j]);
            }
            setLastError(error);
            return nullptr;
        }
    }
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE input = start.shareInput ? GetStdHandle(STD_INPUT_HANDLE)
                                    : CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                                  OPEN_EXISTING, 0, nullptr);
    // Only this child's ends are inheritable, and only while it starts: a
    // later child must not hold this one's pipes open.
    SetHandleInformation(writes[0], HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    SetHandleInformation(writes[1], HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    if (start.shareInput && input != nullptr && input != INVALID_HANDLE_VALUE) {
        SetHandleInformation(input, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = writes[0];
    startup.hStdError = writes[1];
    std::string commandLine = commandLineOf(start.arguments);
    std::string environment = environmentBlockWith(start);
    PROCESS_INFORMATION process{};
    // A group of its own, so that a stop can be sent to this child alone.
    const BOOL started = CreateProcessA(start.arguments[0].c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                        CREATE_NEW_PROCESS_GROUP, environment.data(), nullptr, &startup, &process);
    const DWORD error = GetLastError();
    CloseHandle(writes[0]);
    CloseHandle(writes[1]);
    if (!start.shareInput && input != INVALID_HANDLE_VALUE) CloseHandle(input);
    if (!started) {
        CloseHandle(reads[0]);
        CloseHandle(reads[1]);
        setLastError(error);
        return nullptr;
    }
    auto* child = new Child;
    child->process = process;
    InitializeCriticalSection(&child->lock);
    child->ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (int i = 0; i < 2; ++i) {
        child->streams[i].pipe = reads[i];
        child->streams[i].thread = CreateThread(nullptr, 0, readStream, new ReaderStart{child, i}, 0, nullptr);
    }
    return child;
}

std::size_t readChild(ChildHandle child, ChildStream which, char* buffer, std::size_t size, bool& closed) {
    StreamReader& stream = child->streams[which == ChildStream::Output ? 0 : 1];
    EnterCriticalSection(&child->lock);
    const std::size_t take = std::min(size, stream.pending.size());
    std::memcpy(buffer, stream.pending.data(), take);
    stream.pending.erase(0, take);
    closed = stream.finished && stream.pending.empty();
    if (child->streams[0].pending.empty() && child->streams[1].pending.empty()) ResetEvent(child->ready);
    LeaveCriticalSection(&child->lock);
    return take;
}

void waitForChildren(const std::vector<ChildHandle>& children, std::uint32_t timeoutMs) {
    std::vector<HANDLE> handles;
    if (stopEvent != nullptr) handles.push_back(stopEvent);
    for (const ChildHandle child : children) {
        // Once both streams are done only the process's end is news.
        bool bothDone = false;
        EnterCriticalSection(&child->lock);
        bothDone = child->streams[0].finished && child->streams[1].finished && child->streams[0].pending.empty() &&
                   child->streams[1].pending.empty();
        LeaveCriticalSection(&child->lock);
        handles.push_back(bothDone ? child->process.hProcess : child->ready);
        if (handles.size() == MAXIMUM_WAIT_OBJECTS) break;
    }
    WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE,
                           timeoutMs == kWaitForever ? INFINITE : timeoutMs);
    if (stopEvent != nullptr) ResetEvent(stopEvent);
}

ChildEnd childEnd(ChildHandle child) {
    if (child->reaped) return child->end;
    if (WaitForSingleObject(child->process.hProcess, 0) != WAIT_OBJECT_0) return {};
    DWORD code = 0;
    GetExitCodeProcess(child->process.hProcess, &code);
    child->reaped = true;
    child->end.ended = true;
    // An exception code (0xC0000005 and the like) is a crash, not an exit.
    if ((code & 0xC0000000u) == 0xC0000000u) {
        child->end.signal = static_cast<int>(code);
    } else {
        child->end.exitCode = static_cast<int>(code);
    }
    return child->end;
}

void stopChild(ChildHandle child, bool hard) {
    if (child->reaped) return;
    if (hard || !GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, child->process.dwProcessId)) {
        TerminateProcess(child->process.hProcess, 1);
    }
}

void releaseChild(ChildHandle child) {
    for (StreamReader& stream : child->streams) {
        if (stream.thread != nullptr) {
            WaitForSingleObject(stream.thread, INFINITE);
            CloseHandle(stream.thread);
        }
        CloseHandle(stream.pipe);
    }
    CloseHandle(child->ready);
    CloseHandle(child->process.hProcess);
    CloseHandle(child->process.hThread);
    DeleteCriticalSection(&child->lock);
    delete child;
}

std::string ownProgramPath(const char* argv0) {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length > 0 && length < sizeof path) return std::string(path, length);
    return argv0 != nullptr ? argv0 : "update.exe";
}

void catchStopRequests() {
    if (stopEvent == nullptr) stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

bool stopRequested() { return InterlockedCompareExchange(&stopSeen, 0, 0) != 0; }

// A console counts only where it takes the cursor movements the table is
// drawn with; an older one gets the lines of a pipe.
bool standardOutputTakesCursorMoves() {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(output, &mode) == 0) return false;
#if defined(ENABLE_VIRTUAL_TERMINAL_PROCESSING)
    return SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
#else
    return SetConsoleMode(output, mode | 0x0004) != 0;
#endif
}

unsigned terminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 80;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? static_cast<unsigned>(columns) : 80;
}

AppendHandle openForAppending(const char* path) {
    const HANDLE handle = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        setLastError(GetLastError());
        return nullptr;
    }
    auto* file = new AppendFile;
    file->handle = handle;
    return file;
}

bool appendDurably(AppendHandle file, const std::string& text) {
    DWORD written = 0;
    if (!WriteFile(file->handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size() || !FlushFileBuffers(file->handle)) {
        setLastError(GetLastError());
        return false;
    }
    return true;
}

void closeAppendFile(AppendHandle file) {
    if (file == nullptr) return;
    CloseHandle(file->handle);
    delete file;
}

// COM names in any letter case, with or without the \\.\ prefix, are one port.
std::string canonicalPortName(const std::string& device) {
    std::string name = device;
    if (name.rfind("\\\\.\\", 0) == 0) name = name.substr(4);
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

std::string stablePortName(const std::string& device, const std::string&) { return device; }

// A pattern over the COM ports the system lists.
std::vector<std::string> matchPortPattern(const std::string& pattern) {
    const auto matches = [](const char* text, const char* wild, auto& self) -> bool {
        if (*wild == '\0') return *text == '\0';
        if (*wild == '*') return self(text, wild + 1, self) || (*text != '\0' && self(text + 1, wild, self));
        if (*text == '\0') return false;
        const bool same = *wild == '?' || std::toupper(static_cast<unsigned char>(*wild)) ==
                                               std::toupper(static_cast<unsigned char>(*text));
        return same && self(text + 1, wild + 1, self);
    };
    std::vector<std::string> names;
    for (const SerialPortInfo& port : listSerialPorts({})) {
        if (matches(port.name.c_str(), pattern.c_str(), matches)) names.push_back(port.name);
    }
    return names;
}

}  // namespace platform
