// boxsim's main loop: carries the box model over the pseudo-terminal, box
// after box, and reports how each one ended.
#pragma once

#include "boxsim_options.h"

namespace boxsim {

// 0: every box ended as expected; 1: not, or the time ran out; 2: system error.
int runBoxes(const Options& options);

}  // namespace boxsim
