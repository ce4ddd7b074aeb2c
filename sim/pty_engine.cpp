#include "pty_engine.h"

#include <poll.h>
#include <signal.h>
#include <time.h>

#include <algorithm>

#include "platform/signal_flush.h"  // monotonicUs

namespace boxsim {

namespace {

// The stop signals (SIGINT, SIGTERM) are held back outside the wait on the
// line, so one that comes just before it still ends the wait at once.
volatile sig_atomic_t received = 0;
void onStopSignal(int signal) { received = signal; }

sigset_t waitMask;  // the signal mask while waiting: the stop signals let through

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

// Until one of the descriptors is ready, waitUs have passed or a stop signal has come.
void waitOnLine(pollfd* fds, nfds_t count, std::uint64_t waitUs) {
    const timespec timeout{static_cast<time_t>(waitUs / 1000000), static_cast<long>(waitUs % 1000000) * 1000};
    ppoll(fds, count, &timeout, &waitMask);
}

}  // namespace

int PtyEngine::run(Side& side, double timeoutS) {
    catchStopSignals();
    const std::uint64_t deadlineUs = platform::monotonicUs() + static_cast<std::uint64_t>(timeoutS * 1e6);
    for (;;) {
        const std::uint64_t nowUs = platform::monotonicUs();
        if (link_.isOpen()) readWatch();
        const Side::Turn turn = side.turn(nowUs);
        if (turn == Side::Turn::Over) return side.status();
        if (turn == Side::Turn::Again) continue;
        if (received != 0 || nowUs >= deadlineUs) return side.stopped(received != 0, nowUs);

        pollfd fds[2];
        nfds_t count = 0;
        if (link_.watch() >= 0) fds[count++] = {link_.watch(), POLLIN, 0};
        if (link_.isOpen() && side.wantsInput(nowUs)) fds[count++] = {link_.master(), POLLIN, 0};
        const std::uint64_t wakeUs = std::min(side.wakeUs(nowUs), deadlineUs);
        waitOnLine(fds, count, wakeUs > nowUs ? wakeUs - nowUs : 0);
    }
}

void PtyEngine::dropLine() {
    link_.hangUp();
    opens_ = 0;
    closes_ = 0;
}

std::optional<std::string> PtyEngine::plugBack() { return link_.open(linkPath_); }

}  // namespace boxsim
