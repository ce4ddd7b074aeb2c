#include "control/driver.h"

#include <cstdio>

int runUpdate(int, char**) {
    std::fputs("update: not built yet\n", stderr);
    return 1;
}
