#include "line_wait.h"

#include <signal.h>
#include <time.h>

namespace boxsim {

namespace {

volatile sig_atomic_t received = 0;
void onStopSignal(int signal) { received = signal; }

sigset_t waitMask;  // the signal mask while waiting: the stop signals let through

}  // namespace

void catchStopSignals() {
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int stopSignal() { return received; }

void waitOnLine(pollfd* fds, nfds_t count, std::uint64_t waitUs) {
    const timespec timeout{static_cast<time_t>(waitUs / 1000000), static_cast<long>(waitUs % 1000000) * 1000};
    ppoll(fds, count, &timeout, &waitMask);
}

}  // namespace boxsim
