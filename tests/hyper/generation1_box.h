// A generation 1 box as far as these procedures see it: the boot loader's
// menu, its reception of hyper.pad, and the hyper bootloader it then starts.
// Anything the box does not expect (a key it does not know, a byte garbled by
// a wrong speed) makes it hang up the line, so a wrong dialogue ends in a
// failure instead of a wait for ever.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "simplatform/sim_platform.h"

struct ReceivedByte {
    std::uint8_t byte;
    std::uint32_t baud;  // the speed the PC sent it at
};

struct Generation1BoxOptions {
    // The boot loader talks at 38400 until its menu is out, then listens at
    // this speed: 1.4 stays at 38400, the later ones switch to 115200.
    std::uint32_t menuBaud = 115200;
    bool asksNow = false;       // 1.4: the download key is followed by "now?"
    bool startInHyperboot = false;
    // What the hyper bootloader answers to the first, second, ... blank; no
    // answer once the list is used up.
    std::vector<std::string> blankAnswers{"hyperboot\n"};
    std::string fileReply = "\r\nSend file:";  // the answer to the download key (or to "y")
    std::string hyperPadReply;  // sent as soon as hyper.pad starts arriving
    bool refuseImage = false;   // stops taking data once the image starts
    std::string finishReply = "finished.\n";  // once the image is programmed
};

class Generation1Box : public simline::Peer {
public:
    static constexpr std::uint32_t kMenuDelayMs = 10;
    // A transfer counts as complete after this much silence.
    static constexpr std::uint32_t kSilenceMs = 200;

    explicit Generation1Box(Generation1BoxOptions options);

    void receive(std::uint8_t byte, std::uint32_t pcBaud, std::uint64_t nowUs) override;
    bool acceptsInput(std::uint64_t nowUs) const override;
    std::uint64_t nextEventUs() const override;
    void onTimer(std::uint64_t nowUs) override;
    bool hungUp(std::uint64_t nowUs) const override;

    enum class Phase { Starting, Menu, Confirm, HyperPad, Hyperboot, Mode, Image, Programmed, Released, HungUp };
    Phase phase() const { return phase_; }

    std::vector<ReceivedByte> keys;  // menu keys, as sent
    std::vector<std::uint8_t> hyperPad;
    int blanks = 0;
    std::vector<std::uint64_t> blankTimesUs;
    int modeByte = -1;
    std::vector<std::uint8_t> image;

private:
    std::uint32_t listeningBaud() const;
    void hangUp() { phase_ = Phase::HungUp; }

    Generation1BoxOptions options_;
    Phase phase_;
    std::uint64_t lastByteUs_ = 0;
};

// Undoes the packing of a stream, stopping after `expected` bytes.
std::vector<std::uint8_t> unpack(const std::vector<std::uint8_t>& stream, std::size_t expected);
