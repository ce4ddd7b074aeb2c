#include "generation1_box.h"

#include <map>
#include <utility>

#include "transfer/packing.h"

namespace {
constexpr std::uint32_t kBootBaud = 38400;
constexpr std::uint32_t kHyperbootBaud = 115200;
}  // namespace

Generation1Box::Generation1Box(Generation1BoxOptions options)
    : options_(std::move(options)), phase_(options_.startInHyperboot ? Phase::Hyperboot : Phase::Starting) {}

std::uint32_t Generation1Box::listeningBaud() const {
    switch (phase_) {
        case Phase::Starting:
            return kBootBaud;
        case Phase::Menu:
        case Phase::Confirm:
        case Phase::HyperPad:
            return options_.menuBaud;
        default:
            return kHyperbootBaud;
    }
}

void Generation1Box::receive(std::uint8_t byte, std::uint32_t pcBaud, std::uint64_t nowUs) {
    if (phase_ == Phase::HungUp) return;
    const std::uint32_t baud = listeningBaud();
    const std::uint8_t heard = pcBaud == baud ? byte : simline::garble(byte, pcBaud, baud);
    lastByteUs_ = nowUs;
    switch (phase_) {
        case Phase::Menu:
            keys.push_back({heard, pcBaud});
            if (heard == '1') {
                phase_ = Phase::Released;
            } else if (heard == '2' || heard == '3') {
                if (options_.asksNow) {
                    transmit("Erase flash now?", baud);
                    phase_ = Phase::Confirm;
                } else {
                    transmit(options_.fileReply, baud);
                    phase_ = Phase::HyperPad;
                }
            } else {
                hangUp();
            }
            break;
        case Phase::Confirm:
            keys.push_back({heard, pcBaud});
            if (heard != 'y') return hangUp();
            transmit(options_.fileReply, baud);
            phase_ = Phase::HyperPad;
            break;
        case Phase::HyperPad:
            if (hyperPad.empty() && !options_.hyperPadReply.empty()) transmit(options_.hyperPadReply, baud);
            hyperPad.push_back(heard);
            break;
        case Phase::Hyperboot:
            if (heard != ' ') return hangUp();
            blankTimesUs.push_back(nowUs);
            if (static_cast<std::size_t>(blanks) < options_.blankAnswers.size()) {
                const std::string& answer = options_.blankAnswers[static_cast<std::size_t>(blanks)];
                transmit(answer, baud);
                if (answer.find("hyperboot\n") != std::string::npos) phase_ = Phase::Mode;
            }
            ++blanks;
            break;
        case Phase::Mode:
            modeByte = heard;
            phase_ = Phase::Image;
            break;
        case Phase::Image:
            image.push_back(heard);
            break;
        default:
            hangUp();
            break;
    }
}

bool Generation1Box::acceptsInput(std::uint64_t) const {
    return !(options_.refuseImage && phase_ == Phase::Image && !image.empty());
}

std::uint64_t Generation1Box::nextEventUs() const {
    switch (phase_) {
        case Phase::Starting:
            return kMenuDelayMs * 1000ull;
        case Phase::HyperPad:
            return hyperPad.empty() ? simline::kNoEvent : lastByteUs_ + kSilenceMs * 1000ull;
        case Phase::Image:
            if (image.empty() || options_.refuseImage) return simline::kNoEvent;
            return lastByteUs_ + kSilenceMs * 1000ull;
        default:
            return simline::kNoEvent;
    }
}

void Generation1Box::onTimer(std::uint64_t nowUs) {
    if (nowUs < nextEventUs()) return;
    switch (phase_) {
        case Phase::Starting:
            transmit("Bootloader menu\r\n 1: exit\r\n 2: erase\r\n 3: download\r\nYour choice!:", kBootBaud);
            phase_ = Phase::Menu;
            break;
        case Phase::HyperPad:
            transmit("\r\nfinished!\r\n", options_.menuBaud);
            phase_ = Phase::Hyperboot;
            break;
        case Phase::Image:
            transmit(options_.finishReply, kHyperbootBaud);
            phase_ = Phase::Programmed;
            break;
        default:
            break;
    }
}

bool Generation1Box::hungUp(std::uint64_t) const { return phase_ == Phase::HungUp; }

std::vector<std::uint8_t> unpack(const std::vector<std::uint8_t>& stream, std::size_t expected) {
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint8_t> codes;
    for (int byte = 0; byte < 256; ++byte) {
        codes[{packingCodeTable[byte].length, packingCodeTable[byte].value}] = static_cast<std::uint8_t>(byte);
    }
    std::vector<std::uint8_t> out;
    std::uint32_t length = 0;
    std::uint32_t value = 0;
    for (std::uint8_t byte : stream) {
        for (int bit = 7; bit >= 0 && out.size() < expected; --bit) {
            value = (value << 1) | ((byte >> bit) & 1u);
            ++length;
            auto found = codes.find({length, value});
            if (found != codes.end()) {
                out.push_back(found->second);
                length = 0;
                value = 0;
            }
        }
    }
    return out;
}
