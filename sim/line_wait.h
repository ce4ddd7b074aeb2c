// boxsim's one way to wait on the pseudo-terminal: until one of its
// descriptors is ready, a time has passed or a stop signal (SIGINT, SIGTERM)
// has come. The stop signals are held back outside the wait, so one that
// comes just before it still ends the wait at once.
#pragma once

#include <poll.h>

#include <cstdint>

namespace boxsim {

// The program may still read what came before the line dropped: without a
// watch on the slave its close cannot be seen, so it gets this long.
inline constexpr std::uint64_t kHangUpGraceUs = 1000000;

// Catches the stop signals from now on; waitOnLine is then the only place they arrive.
void catchStopSignals();
// The stop signal that came, 0 while none has.
int stopSignal();
void waitOnLine(pollfd* fds, nfds_t count, std::uint64_t waitUs);

}  // namespace boxsim
