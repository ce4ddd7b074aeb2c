#include "generation.h"

#include "box.h"
#include "dated_bootloader.h"
#include "generation1_bootloader.h"

namespace boxmodel {

std::unique_ptr<Generation> makeGeneration(Box& box) {
    switch (box.traits().family) {
    case Family::Dated: return std::make_unique<DatedBootloader>(box);
    case Family::Generation1: return std::make_unique<Generation1Bootloader>(box);
    case Family::Generation2:
    case Family::Generation4:
    case Family::Unknown: break;
    }
    // A boot loader whose downloads are not modelled: it still answers, shows
    // its menu and takes the common keys; any download key is refused.
    return std::make_unique<Generation>(box);
}

}  // namespace boxmodel
