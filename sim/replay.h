// boxsim --replay: plays the box of a recorded trace over the pseudo-terminal.
// It waits for what the program sent at each step (by content for the short
// dialogue, by length for image data), then answers with what the box said,
// after the recorded pause.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "replay_peer.h"  // sameTimeStampForm
#include "trace/trace_reader.h"

namespace boxsim {

struct ReplayOptions {
    std::string tracePath;
    std::string linkPath;
    double timeoutS = 600;
    // Set: the program to start on the line; its output and exit code are
    // compared with the recording too. Empty: the user starts it elsewhere.
    std::vector<std::string> program;
};

// 0: the program did what the recording shows; 1: it departed from it (one
// line says where) or the time ran out; 2: a bad trace or a system error.
// Without `linkPath` (a program to start given) the line goes in a fresh
// temporary directory.
int runReplay(const ReplayOptions& options);

}  // namespace boxsim
