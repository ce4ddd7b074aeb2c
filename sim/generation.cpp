#include "generation.h"

#include "box.h"
#include "dated_bootloader.h"
#include "generation1_bootloader.h"
#include "generation2_bootloader.h"
#include "generation4_bootloader.h"

namespace boxmodel {

std::unique_ptr<Generation> makeGeneration(Box& box) {
    switch (box.traits().family) {
    case Family::Dated: return std::make_unique<DatedBootloader>(box);
    case Family::Generation1: return std::make_unique<Generation1Bootloader>(box);
    case Family::Generation2: return std::make_unique<Generation2Bootloader>(box);
    case Family::Generation4: return std::make_unique<Generation4Bootloader>(box);
    case Family::Unknown: break;
    }
    // A boot loader whose downloads are not modelled: it still answers, shows
    // its menu and takes the common keys; any download key is refused.
    return std::make_unique<Generation>(box);
}

}  // namespace boxmodel
