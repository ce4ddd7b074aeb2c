#include "line_engine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "line.h"

namespace simline {

namespace {

// More events than this at one instant means a far end that never settles.
constexpr int kMaxEventsPerInstant = 1'000'000;

[[noreturn]] void stuck(std::uint64_t nowUs) {
    std::fprintf(stderr, "line: the far end keeps acting at the same instant at %llu us: nothing will ever happen\n",
                 static_cast<unsigned long long>(nowUs));
    std::abort();
}

}  // namespace

void LineEngine::attach(Peer* peer, std::uint64_t nowUs) {
    peer_ = peer;
    nowUs_ = nowUs;
    toPeer_.reset();
    toPc_.reset(nowUs);
    if (peer_ != nullptr) collect();
}

void LineEngine::advanceTo(std::uint64_t targetUs) {
    int eventsNow = 0;
    std::uint64_t lastInstant = kNoEvent;
    while (peer_ != nullptr) {
        startPcByte();
        const std::uint64_t next = nextEventUs();
        if (next == kNoEvent || next > targetUs) break;
        nowUs_ = std::max(nowUs_, next);
        // At one instant a byte arriving at the PC comes first, then one
        // arriving at the far end, then the far end's timer: on a line that
        // takes no time the far end's words still reach a PC that keeps writing.
        if (toPc_.nextArrivalUs() <= nowUs_) {
            pc_.arrived(toPc_.pop());
        } else if (toPeer_ && toPeer_->doneUs <= nowUs_) {
            deliver();
        } else {
            // Bytes are as many as were written; only the far end's own
            // actions can go on for ever at one instant.
            if (nowUs_ != lastInstant) {
                lastInstant = nowUs_;
                eventsNow = 0;
            } else if (++eventsNow > kMaxEventsPerInstant) {
                stuck(nowUs_);
            }
            peer_->onTimer(nowUs_);
            collect();
            pc_.afterPeerCall(nowUs_);
        }
    }
    nowUs_ = std::max(nowUs_, targetUs);
}

std::uint64_t LineEngine::nextEventUs() const {
    std::uint64_t next = toPc_.nextArrivalUs();
    if (toPeer_) next = std::min(next, toPeer_->doneUs);
    if (peer_ != nullptr) {
        const std::uint64_t timer = peer_->nextEventUs();
        if (timer != kNoEvent) next = std::min(next, std::max(timer, nowUs_));
    }
    return next;
}

void LineEngine::startPcByte() {
    if (toPeer_ || farEndHungUp()) return;
    const auto start = pc_.nextByte(nowUs_, peer_->acceptsInput(nowUs_));
    if (!start) return;
    const std::uint64_t atUs = std::max(start->atUs, nowUs_);
    toPeer_ = PcByte{start->value, start->baud, atUs + (instant_ ? 0 : byteTimeUs(start->baud)), start->behindCts};
}

void LineEngine::pcSpeedChanged(std::uint32_t baud) {
    if (toPeer_ && toPeer_->baud != baud) toPeer_->value = garble(toPeer_->value, toPeer_->baud, baud);
}

void LineEngine::collect() {
    if (peer_ != nullptr) toPc_.send(peer_->takeOutbox(), nowUs_);
}

void LineEngine::deliver() {
    const PcByte byte = *toPeer_;
    toPeer_.reset();
    const bool taken = byte.behindCts || peer_->acceptsInput(nowUs_);
    pc_.crossed(byte, taken);
    if (!taken) return;
    peer_->receive(byte.value, byte.baud, nowUs_);
    collect();
    pc_.afterPeerCall(nowUs_);
}

}  // namespace simline
