#include "boxsim_run.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "box.h"
#include "dialogue_log.h"
#include "line_engine.h"
#include "platform/signal_flush.h"  // monotonicUs
#include "pty_engine.h"
#include "pty_link.h"

namespace boxsim {

namespace {

constexpr std::uint64_t kCatchUpUs = 10000;     // a late wake-up (a busy machine) may deliver bytes this much in the past
constexpr std::size_t kReadChunk = 64;

// Steps after which the PC goes on sending before it listens again (the
// announcement follows the time stamp, the byte sum the image): a box that
// hangs up there drops the line once the PC's next bytes have come, so the
// program meets the dead line at the same point of its run however busy the
// machine, and not sometimes in the write before.
bool pcSpeaksNext(boxmodel::Step step) { return step == boxmodel::Step::TimeStamp || step == boxmodel::Step::Image; }

platform::LocalTime localNow() {
    const std::time_t t = std::time(nullptr);
    std::tm lt{};
    localtime_r(&t, &lt);
    return {lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec};
}

// The box model on the line, over the pseudo-terminal: the box's own clock
// starts with boxsim. The line engine runs the box's events; this is its PC
// end, which takes the program's bytes off the master and gives the box's
// words to the pty engine's way to the program.
class Runner : public PtyEngine::Side, public simline::LineEngine::PcEnd {
public:
    Runner(const Options& options, PtyLink& link, PtyEngine& engine, DialogueLog& log)
        : options_(options), link_(link), engine_(engine), log_(log), line_(*this, options.fullSpeed) {
        engine_.output().onWritten([this](const PcOutput::Byte& byte, std::uint32_t pcBaud) {
            log_.byte(boxTime(byte.doneUs), Direction::BoxToPc, byte.baud, byte.value, byte.baud != pcBaud);
        });
    }

    Turn turn(std::uint64_t clockUs) override;
    int status() const override { return allAsExpected_ ? 0 : 1; }
    int stopped(bool bySignal, std::uint64_t clockUs) override;
    std::uint64_t wakeUs(std::uint64_t clockUs) const override;
    bool wantsInput(std::uint64_t clockUs) const override;

private:
    std::uint64_t boxTime(std::uint64_t clockUs) const { return clockUs > startUs_ ? clockUs - startUs_ : 0; }
    void startBox(std::uint64_t nowUs);
    void pump(std::uint64_t nowUs);
    // --- simline::LineEngine::PcEnd
    std::optional<Start> nextByte(std::uint64_t atUs, bool farEndReady) override;
    void arrived(const simline::FarEndTransmitter::Byte& byte) override;
    void crossed(const simline::PcByte& byte, bool taken) override;
    void afterPeerCall(std::uint64_t atUs) override;
    bool outputPending() const { return !line_.toPc().empty() || !engine_.output().delivered(); }
    bool programHasLeft(std::uint64_t nowUs) const;
    bool isOver(std::uint64_t nowUs);
    bool readyToHangUp(std::uint64_t nowUs);
    void forgetOldInput();
    void finishBox(std::uint64_t nowUs);
    void watchSettings(std::uint64_t nowUs);
    std::string expectationFor(unsigned index) const;

    const Options& options_;
    PtyLink& link_;
    PtyEngine& engine_;
    DialogueLog& log_;
    std::uint64_t startUs_ = platform::monotonicUs();

    std::unique_ptr<boxmodel::Box> box_;
    unsigned finishedBoxes_ = 0;
    std::uint64_t benchEmptyUntilUs_ = 0;  // --swap-ms: no box on the line before this
    bool allAsExpected_ = true;

    simline::LineEngine line_;
    std::uint64_t turnUs_ = 0;  // the moment the line is carried forward to
    std::deque<std::uint8_t> fromPc_;
    std::uint64_t lastEmptyUs_ = 0;

    int closesAtDecision_ = -1;
    std::uint64_t decidedAtUs_ = 0;
    std::optional<PcLineSettings> settingsAtOpen_;  // the port's own: what a program that restores it goes back to
    std::optional<PcLineSettings> settings_;
};

PtyEngine::Side::Turn Runner::turn(std::uint64_t clockUs) {
    const std::uint64_t nowUs = boxTime(clockUs);
    watchSettings(nowUs);
    if (!box_ && nowUs < benchEmptyUntilUs_) {
        // Nobody is there to hear what the program sends.
        link_.discardPendingInput();
        fromPc_.clear();
    } else if (!box_ && (link_.watch() < 0 || engine_.opens() > engine_.closes())) {
        startBox(nowUs);
    }
    // Checked before the pump, so that a decided box does not take the
    // next program session's bytes, and after it, since taking bytes may
    // have noticed the program leave.
    bool over = box_ && isOver(nowUs);
    if (box_ && !over) {
        pump(nowUs);
        over = isOver(nowUs);
    }
    if (!over) return Turn::Wait;
    finishBox(nowUs);
    return finishedBoxes_ == options_.boxes ? Turn::Over : Turn::Again;
}

int Runner::stopped(bool bySignal, std::uint64_t clockUs) {
    const std::string why = bySignal ? "stopped by a signal" : "gave up after the time-out";
    std::string state = box_ ? std::string(box_->stateName()) + ", outcome so far " + box_->outcome().code()
                             : std::string("the program has not opened the line");
    std::printf("boxsim: %s: box %u: %s\n", why.c_str(), finishedBoxes_ + 1, state.c_str());
    std::fflush(stdout);
    log_.note(boxTime(clockUs), why + ": " + state);
    return 1;
}

std::uint64_t Runner::wakeUs(std::uint64_t clockUs) const {
    const std::uint64_t nowUs = boxTime(clockUs);
    std::uint64_t wakeUs = simline::kNoEvent;
    if (!box_ && nowUs < benchEmptyUntilUs_) wakeUs = benchEmptyUntilUs_;
    if (box_) {
        // The box's timers are kept to the microsecond; bytes crossing the
        // line are carried in batches. The pty engine wakes for the bytes
        // the program has not taken and for a hang-up.
        wakeUs = std::min({wakeUs, box_->nextEventUs(), nowUs + kLookAgainUs,
                           std::max(line_.nextEventUs(), nowUs + kLeastSleepUs)});
        if (box_->decided() && link_.watch() < 0) wakeUs = std::min(wakeUs, decidedAtUs_ + kLeaveGraceUs);
    }
    return wakeUs == simline::kNoEvent ? wakeUs : wakeUs + startUs_;
}

bool Runner::wantsInput(std::uint64_t clockUs) const {
    return box_ && !line_.pcByteOnWire() && fromPc_.empty() && box_->acceptsInput(boxTime(clockUs));
}

void Runner::startBox(std::uint64_t nowUs) {
    link_.discardUnreadOutput();
    if (benchEmptyUntilUs_ != 0) {
        // What was sent to the empty bench is lost, as on a line with no box.
        link_.discardPendingInput();
        fromPc_.clear();
        benchEmptyUntilUs_ = 0;
    }
    box_ = std::make_unique<boxmodel::Box>(options_.scenario, localNow, nowUs);
    box_->setInstantLine(options_.fullSpeed);
    line_.attach(box_.get(), nowUs);
    engine_.output().reset();
    lastEmptyUs_ = nowUs;
    closesAtDecision_ = -1;
    log_.note(nowUs, "box " + std::to_string(finishedBoxes_ + 1) + " (boot loader " + options_.scenario.version +
                         "): the program has opened the line");
}

// Carries the line forward to nowUs: the box's timers and the program's
// bytes in the order of their times, and what the box said to the program.
void Runner::pump(std::uint64_t nowUs) {
    turnUs_ = nowUs;
    line_.advanceTo(nowUs);
    engine_.output().carry();
}

// The program's next byte, taken off the master while the box accepts input;
// it crosses in one byte time at the speed the PC has set.
std::optional<simline::LineEngine::PcEnd::Start> Runner::nextByte(std::uint64_t atUs, bool farEndReady) {
    if (!farEndReady) return std::nullopt;
    if (box_->decided() && engine_.closes() > closesAtDecision_) return std::nullopt;
    if (fromPc_.empty()) {
        std::uint8_t buffer[kReadChunk];
        const ssize_t n = ::read(link_.master(), buffer, sizeof buffer);
        if (n <= 0) {
            lastEmptyUs_ = turnUs_;
            return std::nullopt;
        }
        fromPc_.insert(fromPc_.end(), buffer, buffer + n);
        // Bytes written after the program closed the line belong to the next
        // box; the events of a close and reopen are queued before them.
        engine_.readWatch();
        if (box_->decided() && engine_.closes() > closesAtDecision_) return std::nullopt;
    }
    // A late wake-up (a busy machine) finds bytes the program wrote a while
    // ago: they may have started that much earlier, never before the master
    // was last seen empty.
    const std::uint64_t earliest = std::max(lastEmptyUs_, turnUs_ > kCatchUpUs ? turnUs_ - kCatchUpUs : 0);
    // What the box does meanwhile comes first: it may stop taking data.
    if (box_->nextEventUs() < std::max(atUs, earliest)) return std::nullopt;
    // As on a UART, a byte goes out at the speed the line has when it
    // leaves, not when it was written: a program that changes the speed (or
    // restores the port's own) before its last bytes have gone garbles them.
    watchSettings(turnUs_);
    const std::uint8_t value = fromPc_.front();
    fromPc_.pop_front();
    // The pseudo-terminal holds what the box does not take, as the handshake does.
    return Start{value, settings_ ? settings_->baud : 0, earliest, true};
}

void Runner::crossed(const simline::PcByte& byte, bool) {
    log_.byte(byte.doneUs, Direction::PcToBox, byte.baud, byte.value, byte.baud != box_->listeningBaud());
}

void Runner::arrived(const simline::FarEndTransmitter::Byte& byte) {
    engine_.output().arrived({byte.value, byte.baud, byte.doneUs + startUs_});
    // At full speed the line may be carried on for as long as the program
    // keeps writing, and the program must see the box's replies meanwhile:
    // each reply goes once the whole of it has arrived, in one write.
    if (options_.fullSpeed && line_.toPc().nextArrivalUs() > byte.doneUs) engine_.output().carry();
}

void Runner::afterPeerCall(std::uint64_t atUs) {
    for (const auto& text : box_->takeNotes()) log_.note(atUs, text);
    if (box_->decided() && closesAtDecision_ < 0) {
        closesAtDecision_ = engine_.closes();
        decidedAtUs_ = atUs;
    }
}

// The box is done with: it has hung up, or it has decided, said its last
// words and the program has closed the line.
bool Runner::isOver(std::uint64_t nowUs) {
    if (box_->hungUp(nowUs)) return readyToHangUp(nowUs);
    return box_->decided() && !outputPending() && programHasLeft(nowUs);
}

// The line drops as the engine's rule has it, and after a time stamp or the
// image's byte sum only once the program has gone on: the program then meets
// the dead line at the same point of its run however busy the machine.
bool Runner::readyToHangUp(std::uint64_t nowUs) {
    return line_.toPc().empty() &&
           engine_.readyToHangUp(nowUs + startUs_, pcSpeaksNext(options_.scenario.hangUpAt), !fromPc_.empty());
}

// Once the program has closed the line and not opened it again, what it sent
// is of no use to the next box.
void Runner::forgetOldInput() {
    if (engine_.opens() > engine_.closes()) return;
    std::vector<std::uint8_t> pending(fromPc_.begin(), fromPc_.end());
    std::uint8_t buffer[4096];
    ssize_t n;
    while ((n = ::read(link_.master(), buffer, sizeof buffer)) > 0) pending.insert(pending.end(), buffer, buffer + n);
    engine_.readWatch();
    fromPc_.clear();
    if (engine_.opens() > engine_.closes()) fromPc_.insert(fromPc_.end(), pending.begin(), pending.end());  // too late to tell: keep
}

bool Runner::programHasLeft(std::uint64_t nowUs) const {
    if (link_.watch() < 0) return nowUs >= decidedAtUs_ + kLeaveGraceUs;
    return engine_.closes() > closesAtDecision_ || engine_.opens() <= engine_.closes();
}

void Runner::finishBox(std::uint64_t nowUs) {
    const unsigned number = finishedBoxes_ + 1;
    const boxmodel::Outcome& outcome = box_->outcome();
    const std::string expected = expectationFor(finishedBoxes_);
    const bool asExpected =
        expected.empty() ? boxmodel::isGoodEnding(outcome) : boxmodel::outcomeMatches(outcome, expected);
    allAsExpected_ = allAsExpected_ && asExpected;

    std::string line = "box " + std::to_string(number) + " (boot loader " + options_.scenario.version +
                       "): " + outcome.code();
    if (!outcome.detail.empty()) line += ": " + outcome.detail;
    if (!asExpected) line += " [expected " + (expected.empty() ? std::string("a good ending") : expected) + "]";

    auto writeOut = [&](const std::string& base, const std::vector<std::uint8_t>& bytes) {
        if (bytes.empty() || base.empty()) return;
        const std::string path = number == 1 ? base : base + "." + std::to_string(number);
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (!file || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
            line += " [cannot write " + path + "]";
            allAsExpected_ = false;
        }
        if (file) std::fclose(file);
    };
    writeOut(options_.imageOutPath, box_->flashedImage());
    writeOut(options_.frameOutPath, box_->downloadBytes());
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    log_.note(nowUs, line);

    const bool hungUp = box_->hungUp(nowUs);
    line_.attach(nullptr, nowUs);
    engine_.output().reset();
    box_.reset();
    ++finishedBoxes_;
    if (options_.swapMs > 0 && finishedBoxes_ < options_.boxes) {
        benchEmptyUntilUs_ = nowUs + std::uint64_t{options_.swapMs} * 1000;
        log_.note(nowUs, "box taken away; the bench stays empty for " + std::to_string(options_.swapMs) + " ms");
    }
    if (!hungUp) {
        forgetOldInput();
        return;
    }
    fromPc_.clear();
    log_.note(nowUs, "line dropped");
    settings_.reset();
    // Unless that was the last box, the cable is plugged back in: a fresh line at the same path.
    const bool again = finishedBoxes_ < options_.boxes;
    if (const auto error = engine_.hangUp(again)) {
        std::fprintf(stderr, "boxsim: cannot publish a new line: %s\n", error->c_str());
        std::exit(2);
    }
    if (!again) return;
    log_.note(nowUs, "line published again at " + options_.linkPath + " -> " + link_.slavePath());
}

void Runner::watchSettings(std::uint64_t nowUs) {
    const auto settings = link_.pcSettings();
    if (!settings || settings == settings_) return;
    // A program that restores the port's own settings as it closes drops
    // CLOCAL again, or (as Wine does) keeps CLOCAL and goes back to the speed
    // and handshake the line had when it opened it. What it wrote and the box
    // has not yet taken leaves at the new speed: noted, for the log's reader.
    const bool dropsLocal = settings_ && settings_->local && !settings->local;
    const bool backToOpening = settings_ && settingsAtOpen_ && settings_->local && settings->local &&
                               settings->baud == settingsAtOpen_->baud &&
                               settings->hardwareHandshake == settingsAtOpen_->hardwareHandshake &&
                               (settings_->baud != settings->baud ||
                                settings_->hardwareHandshake != settings->hardwareHandshake);
    if (box_ && (dropsLocal || backToOpening)) {
        const std::size_t waiting = fromPc_.size() + static_cast<std::size_t>(link_.pendingInput());
        if (waiting > 0) {
            log_.note(nowUs, std::to_string(waiting) + " bytes still waiting when the PC restored the line; they leave at " +
                                 std::to_string(settings->baud) + " baud");
        }
    }
    settings_ = settings;
    // Settings no program has configured are the port's own.
    if (!box_ && !settings->local) settingsAtOpen_ = settings;
    log_.note(nowUs, "PC line settings: " + std::to_string(settings->baud) + " baud, hardware handshake " +
                         (settings->hardwareHandshake ? "on" : "off") + (settings->local ? "" : ", not configured"));
}

std::string Runner::expectationFor(unsigned index) const {
    if (options_.expect.empty()) return {};
    return index < options_.expect.size() ? options_.expect[index] : options_.expect.back();
}

}  // namespace

int runBoxes(const Options& options) {
    DialogueLog log;
    if (!options.logPath.empty() && !log.open(options.logPath)) {
        std::fprintf(stderr, "boxsim: cannot write the log %s\n", options.logPath.c_str());
        return 2;
    }
    PtyLink link;
    if (const auto error = link.open(options.linkPath)) {
        std::fprintf(stderr, "boxsim: cannot publish the line at %s: %s\n", options.linkPath.c_str(),
                     error->c_str());
        return 2;
    }
    PtyEngine engine(link, options.linkPath);
    Runner runner(options, link, engine, log);
    log.note(0, "line published at " + options.linkPath + " -> " + link.slavePath());
    return engine.run(runner, options.timeoutS);
}

}  // namespace boxsim
