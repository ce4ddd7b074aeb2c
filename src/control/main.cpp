#include "control/driver.h"
#include "trace/program_trace.h"

int main(int argc, char** argv) {
    const int exitCode = runUpdate(argc, argv);
    trace::finishTrace(exitCode);
    return exitCode;
}
