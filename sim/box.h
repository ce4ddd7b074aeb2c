// The box on the far end of the serial line: its boot loader as a pure state
// machine. Bytes come in at the speed the PC sends them, bytes go out with
// transmit(), timed actions run through nextEventUs()/onTimer(). It knows
// nothing of terminals or clocks; boxsim and the simulated platform of the
// tests carry it.
//
// This part holds what every generation shares: waking up (keyword, echo game,
// switch-on), the version line, the menu with its common keys, the speeds the
// box listens at, the faults of the dialogue and the outcome. What follows a
// download key belongs to one Generation each (generation.h).
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "outcome.h"
#include "peer.h"
#include "platform/platform.h"
#include "scenario.h"

namespace boxmodel {

class Generation;

// The PC's local clock, for checking what the PC says the time is.
using PcClock = std::function<platform::LocalTime()>;

class Box : public simline::Peer {
public:
    // startUs: the moment the line comes up (the PC opens the port).
    explicit Box(Scenario scenario, PcClock pcClock = {}, std::uint64_t startUs = 0);
    ~Box() override;
    Box(const Box&) = delete;
    Box& operator=(const Box&) = delete;

    // --- simline::Peer
    void receive(std::uint8_t byte, std::uint32_t pcBaud, std::uint64_t nowUs) override;
    bool acceptsInput(std::uint64_t nowUs) const override;
    std::uint64_t nextEventUs() const override;
    void onTimer(std::uint64_t nowUs) override;
    bool hungUp(std::uint64_t nowUs) const override;

    // --- what the box ended with
    const Outcome& outcome() const { return outcome_; }
    bool decided() const { return outcome_.kind != Outcome::Kind::None; }
    // The image the box flashed: set only with the outcome "flashed".
    const std::vector<std::uint8_t>& flashedImage() const { return flashedImage_; }
    // What the PC sent after the download key, as the box heard it, up to the
    // outcome: the frame or stream itself, for checking with other tools.
    const std::vector<std::uint8_t>& downloadBytes() const { return downloadBytes_; }
    // What happened, one line each, for the dialogue log.
    std::vector<std::string> takeNotes();

    // A carrier that moves bytes at once (boxsim --full-speed) tells the box,
    // so that it does not wait for its words to cross a slow line.
    void setInstantLine(bool instant) { instantLine_ = instant; }

    const Scenario& scenario() const { return scenario_; }
    const BootloaderTraits& traits() const { return traits_; }
    std::uint32_t listeningBaud() const { return baud_; }
    const char* stateName() const;

    // --- services for the generations
    // Sends text at the box's current speed.
    void say(std::string_view text, std::uint64_t nowUs);
    // Sends `lead` and then the prompt, obeying the scenario's split, noise and
    // error-line faults; `then` runs once the prompt has gone out (not when the
    // error line replaced it).
    void sayPrompt(Prompt prompt, std::string_view lead, std::string_view text, std::uint64_t nowUs,
                   std::function<void(std::uint64_t)> then = {});
    void after(std::uint32_t ms, std::uint64_t nowUs, std::function<void(std::uint64_t)> action);
    void afterUs(std::uint64_t delayUs, std::uint64_t nowUs, std::function<void(std::uint64_t)> action);
    // Refuses input for a while (erasing, programming), or for good.
    void busyFor(std::uint32_t ms, std::uint64_t nowUs);
    void stopReading();
    // The moment the box's output queued so far will have left the line.
    std::uint64_t outputDoneUs(std::uint64_t nowUs) const;
    // Ends the dialogue: nothing after this changes the outcome, and the box
    // discards what still comes in.
    void decide(Outcome::Kind kind, std::string detail, std::uint64_t nowUs, char key = 0);
    // The dialogue has reached a step: the scenario may hang up here.
    void reach(Step step, std::uint64_t nowUs);
    void hangUpNow(std::string why, std::uint64_t nowUs);
    void note(std::string text);
    // Decides "flashed" with the image the box programmed; a box whose
    // dialogue already ended otherwise (a hang-up, say) keeps no image.
    void flashed(std::vector<std::uint8_t> image, std::string detail, std::uint64_t nowUs);
    void setListeningBaud(std::uint32_t baud, std::uint64_t nowUs);
    // When the last byte from the PC came in (also one the box discarded).
    std::uint64_t lastInputUs() const { return lastInputUs_; }
    // Since when the PC could have sent and did not: the last byte, or the end
    // of a busy spell in which the box took nothing.
    std::uint64_t quietSinceUs() const { return std::max(lastInputUs_, busyUntilUs_); }
    bool hasPcClock() const { return static_cast<bool>(pcClock_); }
    platform::LocalTime pcTime() const { return pcClock_(); }
    // Junk bytes for the noise fault, NUL bytes only where asked for.
    std::string noiseText(bool mayHoldNul) const;

private:
    enum class State { Off, WaitKeyword, EchoGame, EchoOrAnswer, Answering, Menu, Download, Done };

    void switchOn(std::uint64_t nowUs);
    void awaitEchoGame(bool afterSwitchOn, std::uint64_t nowUs);
    void onKeywordByte(std::uint8_t byte, std::uint64_t nowUs);
    void onEchoByte(std::uint8_t byte, std::uint64_t nowUs);
    void onMenuByte(std::uint8_t byte, bool garbled, std::uint32_t pcBaud, std::uint64_t nowUs);
    void answer(std::uint64_t nowUs);
    void showMenu(std::uint64_t nowUs);
    // Sends text, torn inside [tearAt, tearAt + tearLength) when the scenario
    // splits prompts; `then` runs once the last piece has gone out.
    void sayInPieces(std::string_view text, std::size_t tearAt, std::size_t tearLength, std::uint64_t nowUs,
                     std::function<void(std::uint64_t)> then);

    Scenario scenario_;
    BootloaderTraits traits_;
    PcClock pcClock_;
    std::unique_ptr<Generation> generation_;

    State state_ = State::WaitKeyword;
    std::uint32_t baud_;

    std::string keywordWindow_;
    unsigned keywordsHeard_ = 0;
    std::string keywordHeard_;
    std::size_t digitsHeard_ = 0;
    bool closingStarted_ = false;

    bool instantLine_ = false;
    std::uint64_t txFreeUs_ = 0;
    std::uint64_t busyUntilUs_ = 0;
    bool stoppedReading_ = false;
    std::uint64_t hangUpAtUs_ = simline::kNoEvent;

    std::multimap<std::uint64_t, std::function<void(std::uint64_t)>> agenda_;
    std::vector<std::string> notes_;
    Outcome outcome_;
    std::vector<std::uint8_t> flashedImage_;
    std::vector<std::uint8_t> downloadBytes_;
    std::uint64_t ignoredBytes_ = 0;
    std::uint64_t lastInputUs_ = 0;
};

}  // namespace boxmodel
