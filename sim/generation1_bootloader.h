// Boot loaders 1.4 to 1.9: they cannot take an image themselves. The download
// key ("2" on 1.4 and 1.5, with "now?" answered "y" on 1.4; "3" from 1.6 on)
// and "file:" bring in hyper.pad, stored on 1.4 and 1.5 and packed through the
// code table from 1.6 on; the box checks it against the hyper bootloader it
// knows and the mode byte of its version (1 on 1.7 and 1.9, else 0), says
// "finished!" and starts the hyper bootloader, which takes the image.
#pragma once

#include <cstdint>
#include <string>

#include "file_reception.h"
#include "generation.h"
#include "hyper_bootloader.h"
#include "padded_reception.h"

namespace boxmodel {

struct Generation1Dialogue {
    char downloadKey;
    bool asksNow;          // 1.4: confirm the erasure with "y"
    bool packedHyperPad;   // 1.6 on: hyper.pad comes packed
    std::uint8_t modeByte; // in hyper.pad and after the hyper bootloader's prompt
};
// The dialogue of boot loader 1.minor (4 to 9).
Generation1Dialogue generation1DialogueOf(int minor);

class Generation1Bootloader : public Generation {
public:
    explicit Generation1Bootloader(Box& box);

    std::string menuEntries() const override;
    bool onMenuKey(char key, std::uint64_t nowUs) override;
    void receive(std::uint8_t byte, bool garbled, std::uint64_t nowUs) override;
    bool startInSecondStage(std::uint64_t nowUs) override;

private:
    enum class Phase { Menu, Prompting, Confirming, HyperPad, Loading, Hyper };

    void promptForFile(std::uint64_t nowUs);
    void onConfirmation(std::uint8_t byte, bool garbled, std::uint64_t nowUs);
    void onHyperPadByte(std::uint8_t byte, std::uint64_t nowUs);
    std::string hyperPadFault() const;
    void loadHyperBootloader(std::uint64_t nowUs);

    Generation1Dialogue dialogue_;
    Phase phase_ = Phase::Menu;
    FileReception reception_;
    PaddedReception hyperPad_;
    HyperBootloader hyper_;
};

}  // namespace boxmodel
