// boxsim: a set-top box on a pseudo-terminal. See --help.
#include <cstdio>
#include <string>
#include <vector>

#include "boxsim_options.h"
#include "boxsim_run.h"
#include "replay.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const boxsim::ParseResult parsed = boxsim::parseOptions(args);
    if (parsed.options.help) {
        std::fputs(boxsim::helpText(), stdout);
        return 0;
    }
    if (parsed.error) {
        std::fprintf(stderr, "boxsim: %s (see boxsim --help)\n", parsed.error->c_str());
        return 2;
    }
    if (!parsed.options.replayPath.empty())
        return boxsim::runReplay({parsed.options.replayPath, parsed.options.linkPath, parsed.options.timeoutS,
                                  parsed.options.program});
    return boxsim::runBoxes(parsed.options);
}
