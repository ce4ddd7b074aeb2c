// The program's run: command line, image check, and the loop over boxes.
#pragma once

// Returns the process exit code.
int runUpdate(int argc, char** argv);
