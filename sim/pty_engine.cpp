#include "pty_engine.h"

#include <poll.h>

#include <algorithm>

#include "line_wait.h"
#include "platform/signal_flush.h"  // monotonicUs

namespace boxsim {

int PtyEngine::run(Side& side, double timeoutS) {
    catchStopSignals();
    const std::uint64_t deadlineUs = platform::monotonicUs() + static_cast<std::uint64_t>(timeoutS * 1e6);
    for (;;) {
        const std::uint64_t nowUs = platform::monotonicUs();
        if (link_.isOpen()) readWatch();
        const Side::Turn turn = side.turn(nowUs);
        if (turn == Side::Turn::Over) return side.status();
        if (turn == Side::Turn::Again) continue;
        if (stopSignal() != 0 || nowUs >= deadlineUs) return side.stopped(stopSignal() != 0, nowUs);

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
