// Windows ends a console program on Ctrl-C without a handler of ours: the
// buffer is written out on the ordinary exit paths only.
#include "platform/signal_flush.h"

#include <windows.h>

namespace platform {

void flushOnSignal(SignalFlush*) {}
void writeOutOnSignal(int) {}
void holdEndingSignals() {}
void sayOnSignal(const char*) {}
void removeOnSignal(const char*) {}
void farewellOnSignal() {}
void releaseEndingSignals() {}

}  // namespace platform
