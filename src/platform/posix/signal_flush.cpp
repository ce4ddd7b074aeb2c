#include "platform/signal_flush.h"
#include "platform/signal_line.h"

#include "platform/posix/file_descriptor.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

namespace {

std::atomic<SignalFlush*> handedOver{nullptr};
std::atomic<int> handedOverFd{-1};
sigset_t heldFrom;

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

void writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t put = write(fd, data, size);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return;
        data += put;
        size -= static_cast<std::size_t>(put);
    }
}

const char* signalName(int signalNumber) {
    switch (signalNumber) {
        case SIGINT: return "SIGINT";
        case SIGTERM: return "SIGTERM";
        case SIGHUP: return "SIGHUP";
        default: return "another signal";
    }
}

}  // namespace

void flushOnSignal(SignalFlush* flush) {
    handedOver.store(nullptr, std::memory_order_release);
    handedOverFd.store(flush != nullptr ? descriptorOf(flush->file) : -1, std::memory_order_release);
    handedOver.store(flush, std::memory_order_release);
}

void writeOutOnSignal(int signalNumber) {
    SignalFlush* flush = handedOver.exchange(nullptr, std::memory_order_acq_rel);
    const int fd = handedOverFd.load(std::memory_order_acquire);
    if (flush == nullptr || fd < 0) return;
    writeAll(fd, flush->data, flush->length.load(std::memory_order_acquire));
    if (flush->pending != nullptr) writeAll(fd, flush->pending, flush->pendingLength.load(std::memory_order_acquire));
    const std::uint64_t now = monotonicUs();
    char line[kSignalLineSize];
    const std::size_t length =
        signalLine(line, now > flush->startUs ? now - flush->startUs : 0, flush->signalEvent, signalName(signalNumber));
    writeAll(fd, line, length);
}

namespace {
std::atomic<const char*> farewellText{nullptr};
std::atomic<const char*> fileToRemove{nullptr};
}  // namespace

void sayOnSignal(const char* text) { farewellText.store(text, std::memory_order_release); }
void removeOnSignal(const char* path) { fileToRemove.store(path, std::memory_order_release); }

void farewellOnSignal() {
    if (const char* path = fileToRemove.exchange(nullptr, std::memory_order_acq_rel); path != nullptr) unlink(path);
    if (const char* text = farewellText.exchange(nullptr, std::memory_order_acq_rel); text != nullptr) {
        std::size_t length = 0;
        while (text[length] != '\0') ++length;
        writeAll(STDERR_FILENO, text, length);
    }
}

void holdEndingSignals() {
    sigset_t ending;
    sigemptyset(&ending);
    for (const int signalNumber : kEndingSignals) sigaddset(&ending, signalNumber);
    sigprocmask(SIG_BLOCK, &ending, &heldFrom);
}

void releaseEndingSignals() { sigprocmask(SIG_SETMASK, &heldFrom, nullptr); }

}  // namespace platform
