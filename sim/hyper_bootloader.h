// The hyper bootloader, the second-stage loader a generation 1 boot loader
// starts once it has taken hyper.pad: at 115200 baud it answers a blank with
// "hyperboot\n", takes the mode byte, receives the image packed through the
// code table, checks it, programs the flash and says "finished.\n".
#pragma once

#include <cstdint>
#include <string>

#include "file_reception.h"
#include "padded_reception.h"

namespace boxmodel {

class Box;

inline constexpr std::uint32_t kHyperbootBaud = 115200;

class HyperBootloader {
public:
    // expectedMode: the mode byte the boot loader that started it uses.
    HyperBootloader(Box& box, std::uint8_t expectedMode);

    void start(std::uint64_t nowUs);
    bool running() const { return phase_ != Phase::NotStarted; }
    void receive(std::uint8_t byte, bool garbled, std::uint64_t nowUs);

    unsigned blanksHeard() const { return blanks_; }

private:
    enum class Phase { NotStarted, Prompting, Mode, Image, Programming };

    void onBlank(std::uint64_t nowUs);
    void onModeByte(std::uint8_t byte, std::uint64_t nowUs);
    void onImageByte(std::uint8_t byte, std::uint64_t nowUs);
    void finish(std::uint64_t nowUs);

    Box& box_;
    std::uint8_t expectedMode_;
    FileReception reception_;
    PaddedReception image_;
    Phase phase_ = Phase::NotStarted;
    unsigned blanks_ = 0;
    unsigned answeredBlanks_ = 0;
    bool promptOut_ = false;  // the prompt has gone out whole at least once
};

}  // namespace boxmodel
