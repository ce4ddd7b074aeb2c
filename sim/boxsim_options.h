// boxsim's command line: the scenario of the box and how boxsim carries it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "scenario.h"

namespace boxsim {

struct Options {
    boxmodel::Scenario scenario;
    std::string linkPath;
    std::string logPath;
    std::string replayPath;  // set: play the box of this trace instead of a scenario
    std::vector<std::string> program;  // after "--": the program the replay starts itself
    std::string imageOutPath;
    std::string frameOutPath;
    unsigned boxes = 1;
    unsigned swapMs = 0;  // the bench stands empty this long between two boxes
    std::vector<std::string> expect;  // per box; the last one stands for the rest; empty: any good ending
    bool fullSpeed = false;
    double timeoutS = 600;
    bool help = false;
};

struct ParseResult {
    Options options;
    std::optional<std::string> error;
};

ParseResult parseOptions(const std::vector<std::string>& args);
const char* helpText();

}  // namespace boxsim
