#include "serial/console.h"

#include <cstdio>

#include "serial/explain.h"

void printOut(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

void reportCodeAndClose(platform::PortHandle port, const char* what) {
    const std::uint32_t code = platform::lastError();
    std::fprintf(stderr, "%s%u\n", what, static_cast<unsigned>(code));
    std::fflush(stderr);
    explainStatus(code);
    platform::closePort(port);
}
