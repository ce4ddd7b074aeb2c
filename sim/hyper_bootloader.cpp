#include "hyper_bootloader.h"

#include <algorithm>

#include "box.h"

namespace boxmodel {

namespace {

constexpr std::string_view kPrompt = "hyperboot\n";
constexpr std::string_view kProgrammed = "finished.\n";
constexpr std::uint32_t kLargestImage = 16u << 20;

std::string hexByte(std::uint8_t byte) {
    static const char digits[] = "0123456789ABCDEF";
    return std::string("0x") + digits[byte >> 4] + digits[byte & 0xF];
}

}  // namespace

HyperBootloader::HyperBootloader(Box& box, std::uint8_t expectedMode)
    : box_(box), expectedMode_(expectedMode), reception_(box, box.scenario().faultInImage),
      image_(true, kLargestImage) {}

void HyperBootloader::start(std::uint64_t nowUs) {
    phase_ = Phase::Prompting;
    box_.setListeningBaud(kHyperbootBaud, nowUs);
    box_.note("hyper bootloader running, waits for a blank");
}

void HyperBootloader::receive(std::uint8_t byte, bool garbled, std::uint64_t nowUs) {
    switch (phase_) {
    case Phase::NotStarted:
        box_.note("hyper bootloader not yet running: ignored " + hexByte(byte));
        return;
    case Phase::Prompting:
    case Phase::Mode:
        // Until the mode byte, a blank calls the prompt up (again): the PC
        // may have missed it and asks once more.
        if (garbled) {
            box_.note("hyper bootloader: ignored garbled byte " + hexByte(byte));
            return;
        }
        if (byte == ' ') onBlank(nowUs);
        else if (phase_ == Phase::Mode) onModeByte(byte, nowUs);
        else box_.note("hyper bootloader: ignored " + hexByte(byte) + " before its prompt");
        return;
    case Phase::Image: onImageByte(byte, nowUs); return;
    case Phase::Programming: box_.note("hyper bootloader: ignored a byte after the image"); return;
    }
}

void HyperBootloader::onBlank(std::uint64_t nowUs) {
    ++blanks_;
    const Scenario& scenario = box_.scenario();
    const std::string number = "blank " + std::to_string(blanks_);
    if (scenario.hyperbootAnswerFrom == 0 || blanks_ < scenario.hyperbootAnswerFrom) {
        box_.note("hyper bootloader: " + number + " unanswered");
        return;
    }
    ++answeredBlanks_;
    if (scenario.hyperbootSplit && answeredBlanks_ <= 2) {
        // Half the prompt now, the other half only to the next blank.
        const std::size_t splitAt = std::min(scenario.hyperbootSplitAt, kPrompt.size());
        const std::string_view piece = answeredBlanks_ == 1 ? kPrompt.substr(0, splitAt) : kPrompt.substr(splitAt);
        box_.note("hyper bootloader: " + number + " answered with part " + std::to_string(answeredBlanks_) +
                  " of the prompt");
        box_.say(piece, nowUs);
        return;
    }
    box_.note("hyper bootloader: " + number + " answered with the prompt");
    box_.sayPrompt(Prompt::Hyperboot, "", kPrompt, nowUs, [this](std::uint64_t now) {
        if (phase_ == Phase::Prompting) phase_ = Phase::Mode;
        if (!promptOut_) {
            promptOut_ = true;
            box_.reach(Step::Hyperboot, now);
        }
    });
}

void HyperBootloader::onModeByte(std::uint8_t byte, std::uint64_t nowUs) {
    if (byte != expectedMode_) {
        const std::string reason = "hyper bootloader: mode byte " + hexByte(byte) + ", this box needs " +
                                   hexByte(expectedMode_);
        box_.say("\r\nERRORgaga: " + reason + "\n", nowUs);
        box_.decide(Outcome::Kind::Rejected, reason, nowUs);
        return;
    }
    box_.note("hyper bootloader: mode byte " + hexByte(byte) + " right, receiving the image");
    phase_ = Phase::Image;
    box_.reach(Step::Mode, nowUs);
}

void HyperBootloader::onImageByte(std::uint8_t byte, std::uint64_t nowUs) {
    if (!reception_.take(nowUs)) return;
    if (image_.lineBytes() == 0) rejectWhenStalled(box_, image_, "image: ", nowUs);
    switch (image_.take(byte)) {
    case PaddedReception::State::Incomplete: return;
    case PaddedReception::State::Invalid: rejectData(box_, "image: " + image_.problem(), nowUs); return;
    case PaddedReception::State::Complete: break;
    }
    reception_.close();
    phase_ = Phase::Programming;
    box_.note("hyper bootloader: padded image of " + std::to_string(image_.payloadLength()) + " payload bytes, " +
              std::to_string(image_.extension()) + "-byte header extension, from " +
              std::to_string(image_.lineBytes()) + " packed bytes; payload sum right");
    box_.reach(Step::Image, nowUs);
    box_.after(box_.scenario().programmingMs, nowUs, [this](std::uint64_t now) { finish(now); });
}

void HyperBootloader::finish(std::uint64_t nowUs) {
    box_.sayPrompt(Prompt::Programmed, "\r\nFlash programmed, ", kProgrammed, nowUs, [this](std::uint64_t now) {
        std::string detail = "flashed " + std::to_string(image_.image().size()) +
                             " bytes through the hyper bootloader (padded image, " +
                             std::to_string(image_.extension()) + "-byte header extension, mode " +
                             std::to_string(expectedMode_) + ", prompt at blank " + std::to_string(blanks_) + ")";
        box_.flashed(image_.image(), detail, now);
        box_.reach(Step::Programmed, now);
    });
}

}  // namespace boxmodel
