// The program a replay plays the box for, started by boxsim itself: its
// serial ports all lead to the replay's line, what it prints is kept, and how
// it ended is known.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "replay_console.h"

namespace boxsim {

// Ports the program knows by number (UPDATE_COM1 ...): every one is pointed at
// the replay's line, so the program never reaches a real device through one.
inline constexpr int kProgramPorts = 4;

class ReplayedProgram {
public:
    ReplayedProgram() = default;
    ReplayedProgram(const ReplayedProgram&) = delete;
    ReplayedProgram& operator=(const ReplayedProgram&) = delete;
    ~ReplayedProgram();  // a program still running is stopped first

    // `command[0]` is looked up in PATH like a shell does. The error's text if it cannot start.
    std::optional<std::string> start(const std::vector<std::string>& command, const std::string& linkPath);
    bool ended() const { return ended_; }
    // Waits until the program has ended, at the latest until `deadlineUs`
    // (platform::monotonicUs), then stops it: SIGTERM, and SIGKILL if that
    // is not enough.
    SeenRun finish(std::uint64_t deadlineUs);

private:
    void collect(int out, int err);
    bool waitUntil(std::uint64_t deadlineUs);
    void signalIfRunning(int signal);

    pid_t pid_ = -1;
    std::thread collector_;
    std::mutex mutex_;
    std::condition_variable endedSignal_;
    std::atomic<bool> ended_{false};
    SeenRun seen_;
};

}  // namespace boxsim
