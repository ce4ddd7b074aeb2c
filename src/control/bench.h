// Many ports at once (--ports), the box records (--report) and the limit of
// one box (--box-timeout): the program runs itself once per port and watches
// what each run prints.
#pragma once

#include "control/command_line.h"

// Whether the options ask for the bench rather than one plain run.
bool wantsBench(const CommandOptions& options);

// The whole run; the exit code.
int runBench(int argc, char** argv, const CommandOptions& options);
