#include "generation1_bootloader.h"

#include <algorithm>

#include "box.h"
#include "image/hyper_pad.h"
#include "texts.h"

namespace boxmodel {

namespace {

constexpr std::string_view kNowPrompt = "now?";
// hyper.pad in to "finished!": the box copies the loader into its memory.
constexpr std::uint32_t kLoadingMs = 50;

std::string hexByte(std::uint8_t byte) {
    static const char digits[] = "0123456789ABCDEF";
    return std::string("0x") + digits[byte >> 4] + digits[byte & 0xF];
}

}  // namespace

Generation1Dialogue generation1DialogueOf(int minor) {
    switch (minor) {
    case 4: return {'2', true, false, 0};
    case 5: return {'2', false, false, 0};
    case 7:
    case 9: return {'3', false, true, 1};
    default: return {'3', false, true, 0};
    }
}

Generation1Bootloader::Generation1Bootloader(Box& box)
    : Generation(box),
      dialogue_(generation1DialogueOf(box.traits().minor)),
      reception_(box, !box.scenario().faultInImage),
      hyperPad_(dialogue_.packedHyperPad, kHyperBootloaderSize),
      hyper_(box, dialogue_.modeByte) {}

std::string Generation1Bootloader::menuEntries() const {
    return std::string(" ") + dialogue_.downloadKey + " - load the hyper bootloader\r\n";
}

bool Generation1Bootloader::onMenuKey(char key, std::uint64_t nowUs) {
    if (key != dialogue_.downloadKey || phase_ != Phase::Menu) return false;
    phase_ = Phase::Prompting;
    if (!dialogue_.asksNow) {
        box_.after(box_.scenario().keyReplyMs, nowUs, [this](std::uint64_t now) { promptForFile(now); });
        return true;
    }
    box_.after(box_.scenario().keyReplyMs, nowUs, [this](std::uint64_t now) {
        box_.sayPrompt(Prompt::Now, "\r\nErase the flash memory ", kNowPrompt, now, [this](std::uint64_t later) {
            phase_ = Phase::Confirming;
            box_.reach(Step::Now, later);
        });
    });
    return true;
}

void Generation1Bootloader::promptForFile(std::uint64_t nowUs) {
    box_.sayPrompt(Prompt::File, "\r\nSend the hyper bootloader ", kFilePrompt, nowUs, [this](std::uint64_t now) {
        phase_ = Phase::HyperPad;
        box_.reach(Step::File, now);
    });
}

void Generation1Bootloader::receive(std::uint8_t byte, bool garbled, std::uint64_t nowUs) {
    switch (phase_) {
    case Phase::Menu:
    case Phase::Prompting: box_.note("ignored " + hexByte(byte) + ", which came before the prompt"); return;
    case Phase::Confirming: onConfirmation(byte, garbled, nowUs); return;
    case Phase::HyperPad: onHyperPadByte(byte, nowUs); return;  // a garbled byte is a wrong byte: the checks catch it
    case Phase::Loading: box_.note("ignored a byte after hyper.pad"); return;
    case Phase::Hyper: hyper_.receive(byte, garbled, nowUs); return;
    }
}

bool Generation1Bootloader::startInSecondStage(std::uint64_t nowUs) {
    phase_ = Phase::Hyper;
    hyper_.start(nowUs);
    return true;
}

void Generation1Bootloader::onConfirmation(std::uint8_t byte, bool garbled, std::uint64_t nowUs) {
    if (garbled || byte != 'y') {
        const std::string reason = "answered " + hexByte(byte) + (garbled ? " (garbled)" : "") + " to \"now?\", not y";
        box_.say("\r\nERRORgaga: erasure not confirmed\n", nowUs);
        box_.decide(Outcome::Kind::Rejected, reason, nowUs);
        return;
    }
    box_.note("erasure confirmed with y");
    phase_ = Phase::Prompting;
    const std::uint32_t eraseMs = box_.scenario().eraseMs;
    box_.busyFor(eraseMs, nowUs);
    box_.after(eraseMs, nowUs, [this](std::uint64_t now) { promptForFile(now); });
}

void Generation1Bootloader::onHyperPadByte(std::uint8_t byte, std::uint64_t nowUs) {
    if (!reception_.take(nowUs)) return;
    if (hyperPad_.lineBytes() == 0) rejectWhenStalled(box_, hyperPad_, "hyper.pad: ", nowUs);
    const bool lengthKnownBefore = hyperPad_.image().size() >= 4;
    const PaddedReception::State state = hyperPad_.take(byte);
    if (!lengthKnownBefore && hyperPad_.image().size() >= 4 && hyperPad_.payloadLength() != kHyperBootloaderSize) {
        rejectData(box_, "hyper.pad: length field " + std::to_string(hyperPad_.payloadLength()) + ", not " +
                             std::to_string(kHyperBootloaderSize) + (dialogue_.packedHyperPad ? " (unpacked)" : ""),
                   nowUs);
        return;
    }
    if (state == PaddedReception::State::Invalid) {
        rejectData(box_, "hyper.pad: " + hyperPad_.problem(), nowUs);
        return;
    }
    if (state == PaddedReception::State::Incomplete) return;
    reception_.close();
    if (const std::string fault = hyperPadFault(); !fault.empty()) {
        rejectData(box_, "hyper.pad: " + fault, nowUs);
        return;
    }
    box_.note(std::string("hyper.pad taken: ") + std::to_string(hyperPad_.image().size()) + " bytes from " +
              std::to_string(hyperPad_.lineBytes()) + (dialogue_.packedHyperPad ? " packed" : " stored") +
              " bytes, the hyper bootloader it knows, mode byte " + std::to_string(dialogue_.modeByte));
    loadHyperBootloader(nowUs);
}

std::string Generation1Bootloader::hyperPadFault() const {
    if (hyperPad_.extension() > 1)
        return std::to_string(hyperPad_.extension()) + "-byte header extension, only the mode byte may stand there";
    if (hyperPad_.typeByte() != dialogue_.modeByte)
        return "mode byte " + std::to_string(hyperPad_.typeByte()) + ", boot loader " + box_.scenario().version +
               " needs " + std::to_string(dialogue_.modeByte);
    const std::uint8_t* payload = hyperPad_.payload();
    const auto mismatch = std::mismatch(payload, payload + kHyperBootloaderSize, hyperBootloaderPayload);
    if (mismatch.first != payload + kHyperBootloaderSize)
        return "payload differs from the hyper bootloader at byte " + std::to_string(mismatch.first - payload);
    return {};
}

void Generation1Bootloader::loadHyperBootloader(std::uint64_t nowUs) {
    phase_ = Phase::Loading;
    box_.after(kLoadingMs, nowUs, [this](std::uint64_t now) {
        box_.sayPrompt(Prompt::Finished, "\r\nHyper bootloader loaded, ", kFinishedPrompt, now,
                       [this](std::uint64_t later) {
                           box_.say("\r\n", later);
                           box_.reach(Step::Finished, later);
                           if (box_.decided()) return;
                           phase_ = Phase::Hyper;
                           box_.after(box_.scenario().hyperStartMs, later,
                                      [this](std::uint64_t start) { hyper_.start(start); });
                       });
    });
}

}  // namespace boxmodel
