#include "box.h"

#include <algorithm>
#include <cstdio>

#include "generation.h"
#include "line.h"
#include "texts.h"

namespace boxmodel {

namespace {

constexpr std::string_view kKeyword = " quorcom";
constexpr std::string_view kFactoryKeyword = " quornew";
constexpr std::string_view kVersionMarker = "Bootloader Version";
constexpr std::uint8_t kClosingFirst = 0x5B;
constexpr std::uint8_t kClosingSecond = 0xE7;
constexpr std::uint32_t kVersionAfterEchoGameMs = 20;

std::string hexByte(std::uint8_t byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

// What the echo pattern says for the digit with this index.
char echoRule(const std::string& pattern, std::size_t index) {
    std::string_view rules = pattern;
    const bool repeatLast = !rules.empty() && rules.back() == '*';
    if (repeatLast) rules.remove_suffix(1);
    if (index < rules.size()) return rules[index];
    if (repeatLast && !rules.empty()) return rules.back();
    return '.';
}

}  // namespace

Box::Box(Scenario scenario, PcClock pcClock, std::uint64_t startUs)
    : scenario_(std::move(scenario)),
      traits_(traitsOf(scenario_.version)),
      pcClock_(std::move(pcClock)),
      baud_(keywordBaudOf(scenario_, traits_)),
      txFreeUs_(startUs),
      lastInputUs_(startUs) {
    generation_ = makeGeneration(*this);
    if (scenario_.inHyperBootloader && generation_->startInSecondStage(startUs)) {
        state_ = State::Download;
    } else if (scenario_.inBootloader) {
        state_ = State::Off;
        baud_ = traits_.openingBaud;
        after(scenario_.switchOnMs, startUs, [this](std::uint64_t now) { switchOn(now); });
    } else if (scenario_.offAtStart) {
        state_ = State::Off;
        after(scenario_.switchOnMs, startUs, [this](std::uint64_t) {
            note("switched on: waits for the keyword");
            state_ = State::WaitKeyword;
        });
    }
}

Box::~Box() = default;

// ---------------------------------------------------------------------------
// The line

void Box::receive(std::uint8_t byte, std::uint32_t pcBaud, std::uint64_t nowUs) {
    lastInputUs_ = nowUs;
    if (hungUp(nowUs)) return;
    const bool garbled = pcBaud != baud_;
    const std::uint8_t heard = garbled ? simline::garble(byte, pcBaud, baud_) : byte;
    switch (state_) {
    case State::Off:
        ++ignoredBytes_;
        if (ignoredBytes_ == 1) note("switched off: ignores what comes in");
        break;
    case State::WaitKeyword: onKeywordByte(heard, nowUs); break;
    case State::EchoOrAnswer:
        if (heard >= '0' && heard <= '9') {
            note("the PC starts the echo game");
            state_ = State::EchoGame;
        }
        onEchoByte(heard, nowUs);
        break;
    case State::EchoGame: onEchoByte(heard, nowUs); break;
    case State::Answering:
        ++ignoredBytes_;
        note("busy answering: ignored " + hexByte(heard));
        break;
    case State::Menu: onMenuByte(heard, garbled, pcBaud, nowUs); break;
    case State::Download:
        downloadBytes_.push_back(heard);
        generation_->receive(heard, garbled, nowUs);
        break;
    case State::Done: ++ignoredBytes_; break;
    }
}

bool Box::acceptsInput(std::uint64_t nowUs) const { return !stoppedReading_ && nowUs >= busyUntilUs_; }

std::uint64_t Box::nextEventUs() const { return agenda_.empty() ? simline::kNoEvent : agenda_.begin()->first; }

void Box::onTimer(std::uint64_t nowUs) {
    while (!agenda_.empty() && agenda_.begin()->first <= nowUs) {
        auto node = agenda_.extract(agenda_.begin());
        node.mapped()(nowUs);
    }
}

bool Box::hungUp(std::uint64_t nowUs) const { return nowUs >= hangUpAtUs_; }

std::vector<std::string> Box::takeNotes() {
    std::vector<std::string> notes;
    notes.swap(notes_);
    return notes;
}

const char* Box::stateName() const {
    switch (state_) {
    case State::Off: return "switched off";
    case State::WaitKeyword: return "waiting for the keyword";
    case State::EchoGame: return "playing the echo game";
    case State::EchoOrAnswer: return "waiting for an echo game";
    case State::Answering: return "answering";
    case State::Menu: return "at the menu";
    case State::Download: return "downloading";
    case State::Done: return "done";
    }
    return "?";
}

// ---------------------------------------------------------------------------
// Waking up

void Box::switchOn(std::uint64_t nowUs) {
    note("switched on, in its boot loader");
    awaitEchoGame(true, nowUs);
}

// After waking: the echo game if the box demands it, or if it knows the game
// and the PC starts it in time; the version line otherwise.
void Box::awaitEchoGame(bool afterSwitchOn, std::uint64_t nowUs) {
    switch (echoGameOf(scenario_, traits_)) {
    case EchoGame::Demanded: state_ = State::EchoGame; return;
    case EchoGame::IfStarted:
        state_ = State::EchoOrAnswer;
        after(echoWindowOf(scenario_, traits_, afterSwitchOn), nowUs, [this](std::uint64_t now) {
            if (state_ != State::EchoOrAnswer) return;
            note("no echo game started: answering without it");
            answer(now);
        });
        return;
    case EchoGame::Never: break;
    }
    if (afterSwitchOn) {
        answer(nowUs);
        return;
    }
    state_ = State::Answering;
    after(replyDelayOf(scenario_, traits_), nowUs, [this](std::uint64_t now) { answer(now); });
}

void Box::onKeywordByte(std::uint8_t byte, std::uint64_t nowUs) {
    keywordWindow_.push_back(static_cast<char>(byte));
    if (keywordWindow_.size() > kKeyword.size()) keywordWindow_.erase(0, keywordWindow_.size() - kKeyword.size());
    if (keywordWindow_ != kKeyword && keywordWindow_ != kFactoryKeyword) return;

    const std::string heard = keywordWindow_;
    keywordWindow_.clear();
    ++keywordsHeard_;
    if (scenario_.answerOnKeyword == 0 || keywordsHeard_ != scenario_.answerOnKeyword) {
        note("keyword \"" + heard + "\" heard (" + std::to_string(keywordsHeard_) + ") but not answered");
        return;
    }
    keywordHeard_ = heard;
    note("keyword \"" + heard + "\" recognised at " + std::to_string(baud_) + " baud" +
         (heard == kFactoryKeyword ? " (factory settings)" : ""));
    setListeningBaud(traits_.openingBaud, nowUs);
    reach(Step::Keyword, nowUs);
    if (state_ == State::Done) return;
    awaitEchoGame(false, nowUs);
}

void Box::onEchoByte(std::uint8_t byte, std::uint64_t nowUs) {
    if (closingStarted_ && byte == kClosingSecond) {
        note("echo game closed after " + std::to_string(digitsHeard_) + " digits");
        state_ = State::Answering;
        after(kVersionAfterEchoGameMs, nowUs, [this](std::uint64_t now) { answer(now); });
        return;
    }
    closingStarted_ = byte == kClosingFirst;
    if (byte < '0' || byte > '9') {
        if (!closingStarted_) note("echo game: ignored " + hexByte(byte));
        return;
    }
    const char rule = echoRule(scenario_.echoPattern, digitsHeard_++);
    if (rule == 'x') {
        note(std::string("echo game: no echo of ") + static_cast<char>(byte));
        return;
    }
    std::string echo(1, static_cast<char>(byte));
    if (rule == 'w') echo[0] = static_cast<char>('0' + (byte - '0' + 5) % 10);
    after(scenario_.echoDelayMs, nowUs, [this, echo](std::uint64_t now) { say(echo, now); });
}

void Box::answer(std::uint64_t nowUs) {
    state_ = State::Answering;
    if (scenario_.noise) say(noiseText(scenario_.nulNoise), nowUs);
    else if (scenario_.nulNoise) say(std::string(2, '\0'), nowUs);
    const std::string line = scenario_.banner + std::string(kVersionMarker) + " " +
                             std::string(scenario_.versionPadding, ' ') + scenario_.version + "\r\n";
    sayInPieces(line, scenario_.banner.size(), kVersionMarker.size(), nowUs, [this](std::uint64_t now) {
        reach(Step::Version, now);
        if (state_ == State::Done) return;
        after(scenario_.menuDelayMs, now, [this](std::uint64_t later) { showMenu(later); });
    });
}

void Box::showMenu(std::uint64_t nowUs) {
    const std::string lead = menuText(generation_->menuEntries());
    sayPrompt(Prompt::Choice, lead, kChoicePrompt, nowUs, [this](std::uint64_t now) {
        state_ = State::Menu;
        reach(Step::Menu, now);
        if (state_ == State::Done || traits_.menuBaud == baud_) return;
        after(scenario_.menuSwitchMs, now, [this](std::uint64_t later) {
            if (state_ == State::Menu) setListeningBaud(traits_.menuBaud, later);
        });
    });
}

// ---------------------------------------------------------------------------
// The menu

void Box::onMenuByte(std::uint8_t byte, bool garbled, std::uint32_t pcBaud, std::uint64_t nowUs) {
    if (garbled || byte >= 0x80) {
        note("menu: ignored garbled byte " + hexByte(byte) + " (PC sent at " + std::to_string(pcBaud) +
             " baud, box listens at " + std::to_string(baud_) + ")");
        return;
    }
    const char key = static_cast<char>(byte);
    const std::string at = " at " + std::to_string(pcBaud) + " baud";
    if (key == '1') {
        decide(Outcome::Kind::Released, "released with key 1" + at, nowUs);
        reach(Step::Key, nowUs);
        return;
    }
    if (key == '5' || key == '6' || key == '8') {
        decide(Outcome::Kind::Satellite, std::string("satellite update requested with key ") + key + at, nowUs,
               key);
        reach(Step::Key, nowUs);
        return;
    }
    if (generation_->onMenuKey(key, nowUs)) {
        note(std::string("menu: key ") + key + " taken" + at);
        state_ = State::Download;
        reach(Step::Key, nowUs);
        return;
    }
    if (key >= '0' && key <= '9') {
        say(std::string("\r\nERRORgaga: choice ") + key + " not available\n", nowUs);
        decide(Outcome::Kind::Refused, std::string("refused key ") + key + at + ": not offered by boot loader " +
                                           scenario_.version,
               nowUs, key);
        return;
    }
    note("menu: ignored " + hexByte(byte));
}

// ---------------------------------------------------------------------------
// Services

void Box::say(std::string_view text, std::uint64_t nowUs) {
    if (text.empty() || hungUp(nowUs)) return;
    transmit(text, baud_);
    txFreeUs_ = std::max(nowUs, txFreeUs_) + (instantLine_ ? 0 : text.size() * simline::byteTimeUs(baud_));
}

void Box::sayPrompt(Prompt prompt, std::string_view lead, std::string_view text, std::uint64_t nowUs,
                    std::function<void(std::uint64_t)> then) {
    std::string head = scenario_.noise ? noiseText(false) : std::string();
    head += lead;
    if (scenario_.errorAt == prompt) {
        say(head + "ERRORgaga: " + scenario_.errorText + "\n", nowUs);
        decide(Outcome::Kind::Aborted,
               "showed the error line \"ERRORgaga: " + scenario_.errorText + "\" in place of \"" +
                   std::string(text) + "\"",
               nowUs);
        return;
    }
    sayInPieces(head + std::string(text), head.size(), text.size(), nowUs, std::move(then));
}

void Box::sayInPieces(std::string_view text, std::size_t tearAt, std::size_t tearLength, std::uint64_t nowUs,
                      std::function<void(std::uint64_t)> then) {
    auto whenOut = [this, then](std::uint64_t now) {
        if (!then) return;
        afterUs(outputDoneUs(now) - now, now, then);
    };
    if (!scenario_.splitPrompts || tearLength < 3) {
        say(text, nowUs);
        whenOut(nowUs);
        return;
    }
    // Three pieces, cut inside the prompt (or the version marker) itself, so
    // that no single piece holds it whole.
    const std::size_t first = tearAt + tearLength / 3;
    const std::size_t second = tearAt + 2 * tearLength / 3;
    const std::string pieces[3] = {std::string(text.substr(0, first)), std::string(text.substr(first, second - first)),
                                   std::string(text.substr(second))};
    say(pieces[0], nowUs);
    const std::uint64_t gapUs = std::uint64_t{scenario_.splitGapMs} * 1000;
    afterUs(outputDoneUs(nowUs) - nowUs + gapUs, nowUs, [this, pieces, gapUs, whenOut](std::uint64_t now) {
        say(pieces[1], now);
        afterUs(outputDoneUs(now) - now + gapUs, now, [this, pieces, whenOut](std::uint64_t later) {
            say(pieces[2], later);
            whenOut(later);
        });
    });
}

void Box::after(std::uint32_t ms, std::uint64_t nowUs, std::function<void(std::uint64_t)> action) {
    afterUs(std::uint64_t{ms} * 1000, nowUs, std::move(action));
}

void Box::afterUs(std::uint64_t delayUs, std::uint64_t nowUs, std::function<void(std::uint64_t)> action) {
    agenda_.emplace(nowUs + delayUs, std::move(action));
}

void Box::busyFor(std::uint32_t ms, std::uint64_t nowUs) {
    busyUntilUs_ = std::max(busyUntilUs_, nowUs + std::uint64_t{ms} * 1000);
    // An event at the end, so that the line looks at acceptsInput again.
    agenda_.emplace(busyUntilUs_, [](std::uint64_t) {});
}

void Box::stopReading() { stoppedReading_ = true; }

std::uint64_t Box::outputDoneUs(std::uint64_t nowUs) const { return std::max(nowUs, txFreeUs_); }

void Box::setListeningBaud(std::uint32_t baud, std::uint64_t nowUs) {
    (void)nowUs;
    if (baud == baud_) return;
    note("now talks and listens at " + std::to_string(baud) + " baud");
    baud_ = baud;
}

void Box::decide(Outcome::Kind kind, std::string detail, std::uint64_t nowUs, char key) {
    (void)nowUs;
    state_ = State::Done;
    if (decided()) {
        note("after the outcome: " + detail);
        return;
    }
    outcome_.kind = kind;
    outcome_.key = key;
    outcome_.detail = std::move(detail);
    note("outcome " + outcome_.code() + ": " + outcome_.detail);
}

void Box::flashed(std::vector<std::uint8_t> image, std::string detail, std::uint64_t nowUs) {
    if (!decided()) flashedImage_ = std::move(image);
    decide(Outcome::Kind::Flashed, std::move(detail), nowUs);
}

void Box::reach(Step step, std::uint64_t nowUs) {
    if (scenario_.hangUpAt == Step::None || scenario_.hangUpAt != step) return;
    const std::string why = std::string("at step ") + stepName(step);
    if (scenario_.hangUpAfterMs == 0) {
        hangUpNow(why, nowUs);
        return;
    }
    after(scenario_.hangUpAfterMs, nowUs, [this, why](std::uint64_t now) {
        hangUpNow(why + " and " + std::to_string(scenario_.hangUpAfterMs) + " ms", now);
    });
}

void Box::hangUpNow(std::string why, std::uint64_t nowUs) {
    if (hangUpAtUs_ != simline::kNoEvent) return;
    // What the box has already sent still reaches the PC; then the line drops.
    hangUpAtUs_ = outputDoneUs(nowUs);
    agenda_.clear();
    decide(Outcome::Kind::HungUp, "hung up " + why, nowUs);
}

void Box::note(std::string text) { notes_.push_back(std::move(text)); }

std::string Box::noiseText(bool mayHoldNul) const {
    // Terminal junk a box prints while it boots: escape sequences, a bell-less
    // control byte, DEL. None of it is a prompt, marker or progress character.
    std::string junk = "\x1b[0m\r\n#~*\x7f\x01\x02\r\n";
    if (mayHoldNul) junk += std::string("\0\0", 2);
    return junk;
}

}  // namespace boxmodel
