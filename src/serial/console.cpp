#include "serial/console.h"

#include <cstdio>

void printOut(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

void reportCodeAndClose(platform::PortHandle port, const char* what) {
    std::fprintf(stderr, "%s%u\n", what, static_cast<unsigned>(platform::lastError()));
    std::fflush(stderr);
    platform::closePort(port);
}
