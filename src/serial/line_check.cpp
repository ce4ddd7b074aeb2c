#include "serial/line_check.h"

#include <cstdio>

#include "trace/program_trace.h"

namespace {

bool handshakeToldOf = false;
bool readinessToldOf = false;

// Once a run: the access loop reopens and retries the port many times.
void tellOnce(bool& told, bool toPerson, const char* forPerson, const char* forTrace) {
    if (told) return;
    told = true;
    trace::traceNote(forTrace);
    if (toPerson) std::fprintf(stderr, "%s\n", forPerson);
}

}  // namespace

void checkHandshakeKept(platform::PortHandle port, bool toPerson) {
    platform::LineStatus status{};
    if (!platform::getLineStatus(port, status) || status.handshakeOn) return;
    tellOnce(handshakeToldOf, toPerson,
             "Note: the port's driver does not keep the hardware handshake (RTS/CTS); a box may lose data while it "
             "programs.",
             "line: the driver dropped the hardware handshake");
}

void adviseIfBoxNotReady(platform::PortHandle port, bool toPerson) {
    platform::LineStatus status{};
    if (!platform::getLineStatus(port, status)) return;
    if (!status.handshakeOn || !status.modemLinesKnown || status.clearToSend) return;
    tellOnce(readinessToldOf, toPerson, "CTS is off: the box is switched off, or the cable has no RTS/CTS.",
             "line: CTS off before the keyword");
}

void forgetLineAdvice() {
    handshakeToldOf = false;
    readinessToldOf = false;
}
