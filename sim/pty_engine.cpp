#include "pty_engine.h"

#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

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

// More than this is not handed over in one write: the master takes about 4 KiB at a time.
constexpr std::size_t kMostPerWrite = 4096;

}  // namespace

std::uint32_t PcOutput::listeningBaud() const {
    const auto settings = link_.pcSettings();
    return settings ? settings->baud : 0;
}

bool PcOutput::sendNow(const std::vector<simline::Peer::Transmission>& transmissions, std::uint64_t nowUs) {
    for (const auto& transmission : transmissions)
        for (const std::uint8_t value : transmission.bytes) queue_.push_back({value, transmission.baud, nowUs});
    return carry() && queue_.empty();
}

bool PcOutput::carry() {
    if (!link_.isOpen() || queue_.empty()) return true;
    const std::uint32_t pcBaud = listeningBaud();
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < queue_.size() && i < kMostPerWrite; ++i) {
        const Byte& byte = queue_[i];
        if (holdAtOtherSpeed_ && byte.baud != pcBaud) break;
        out.push_back(simline::heard(byte.value, byte.baud, pcBaud));
    }
    if (out.empty()) return true;
    ssize_t n;
    do n = ::write(link_.master(), out.data(), out.size());
    while (n < 0 && errno == EINTR);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
    for (ssize_t i = 0; i < n; ++i) {
        const Byte byte = queue_.front();
        queue_.pop_front();
        if (written_) written_(byte, pcBaud);
    }
    return true;
}

std::optional<PcOutput::Waiting> PcOutput::firstWaiting() const {
    if (queue_.empty()) return std::nullopt;
    return Waiting{queue_.front().baud, listeningBaud()};
}

std::uint64_t PcOutput::wakeUs(std::uint64_t nowUs) const {
    // Still here: the master was full or the program listens at another
    // speed, and neither raises an event.
    return queue_.empty() ? simline::kNoEvent : nowUs + std::min(kRetryWriteUs, kLookAgainUs);
}

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
        const std::uint64_t wakeUs = std::min(this->wakeUs(side, nowUs), deadlineUs);
        waitOnLine(fds, count, wakeUs > nowUs ? wakeUs - nowUs : 0);
    }
}

std::uint64_t PtyEngine::wakeUs(const Side& side, std::uint64_t nowUs) const {
    std::uint64_t wakeUs = std::min(side.wakeUs(nowUs), output_.wakeUs(nowUs));
    // The program's reads and its settings raise no event on the master.
    if (hangingUpSinceUs_) wakeUs = std::min(wakeUs, nowUs + kLookAgainUs);
    return wakeUs;
}

bool PtyEngine::readyToHangUp(std::uint64_t nowUs, bool movesOnFirst, bool heldInput) {
    if (!output_.delivered()) return false;
    const auto settings = link_.pcSettings();
    if (!hangingUpSinceUs_) {
        hangingUpSinceUs_ = nowUs;
        settingsAtHangUp_ = settings;
    }
    const bool sentMore = heldInput || link_.pendingInput() > 0;
    const bool movedOn = sentMore || settings != settingsAtHangUp_ || opens_ <= closes_;
    if (movesOnFirst && link_.watch() >= 0) return movedOn;
    if (link_.unreadOutput() == 0) return true;
    if (link_.watch() < 0) return nowUs >= *hangingUpSinceUs_ + kHangUpGraceUs;
    return movedOn;
}

std::optional<std::string> PtyEngine::hangUp(bool again) {
    output_.reset();
    hangingUpSinceUs_.reset();
    settingsAtHangUp_.reset();
    dropLine();
    return again ? plugBack() : std::nullopt;
}

void PtyEngine::dropLine() {
    link_.hangUp();
    opens_ = 0;
    closes_ = 0;
}

std::optional<std::string> PtyEngine::plugBack() { return link_.open(linkPath_); }

}  // namespace boxsim
