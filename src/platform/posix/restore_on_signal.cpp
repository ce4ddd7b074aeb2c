#include "platform/posix/restore_on_signal.h"
#include "platform/signal_flush.h"

#include <atomic>
#include <cerrno>
#include <csignal>

#include <sys/ioctl.h>

namespace platform {

namespace {

// The program opens one port at a time; a few spare slots cover tests and
// reopening. A port beyond them still works, it is just not restored on a signal.
constexpr int kSlots = 8;

struct Slot {
    std::atomic<int> fd{-1};  // -1: free. Published after `saved` is written.
    termios saved{};
};

Slot slots[kSlots];

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Runs in signal context: only async-signal-safe calls (tcsetattr, ioctl,
// write, sigaction, sigprocmask, raise).
void restoreAndReraise(int signalNumber) {
    const int keptErrno = errno;
    for (Slot& slot : slots) {
        const int fd = slot.fd.load(std::memory_order_acquire);
        if (fd < 0) continue;
        tcsetattr(fd, TCSANOW, &slot.saved);
        // As at an orderly close: where someone else still holds the line (a
        // pseudo-terminal's far end), the exclusive flag would outlive us and
        // shut out everyone but root.
        ioctl(fd, TIOCNXCL);
    }
    // The trace's last lines, after the line is safe: writing may take a moment.
    writeOutOnSignal(signalNumber);
    farewellOnSignal();
    // End the way the signal would have ended the program without us, so that
    // the shell sees the conventional status.
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    sigaction(signalNumber, &byDefault, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signalNumber);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(signalNumber);
    errno = keptErrno;
}

// Checked at every open, so a disposition reset since (by a forked child, say)
// is covered again; our own handler already in place is left as it is. A signal
// that the program's starter set to be ignored (nohup, a background job) stays
// ignored, and a handler someone else installed stays in place.
void installHandlers() {
    for (const int signalNumber : kSignals) {
        struct sigaction current {};
        if (sigaction(signalNumber, nullptr, &current) != 0) continue;
        if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) continue;
        struct sigaction handler {};
        handler.sa_handler = restoreAndReraise;
        sigemptyset(&handler.sa_mask);
        for (const int other : kSignals) sigaddset(&handler.sa_mask, other);
        handler.sa_flags = SA_RESTART;
        sigaction(signalNumber, &handler, nullptr);
    }
}

}  // namespace

void restoreOnSignal(int fd, const termios& saved) {
    installHandlers();
    for (Slot& slot : slots) {
        if (slot.fd.load(std::memory_order_relaxed) >= 0) continue;
        slot.saved = saved;
        slot.fd.store(fd, std::memory_order_release);
        return;
    }
}

void forgetOnSignal(int fd) {
    for (Slot& slot : slots) {
        if (slot.fd.load(std::memory_order_relaxed) == fd) {
            slot.fd.store(-1, std::memory_order_release);
            return;
        }
    }
}

}  // namespace platform
