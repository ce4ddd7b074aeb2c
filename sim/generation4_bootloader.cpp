#include "generation4_bootloader.h"

#include "box.h"

namespace boxmodel {

std::uint8_t frameTypeOf(int major, int minor) {
    if (major == 4 && (minor == 6 || minor == 7 || minor == 14)) return 5;
    if (major == 4 && minor == 99) return 6;
    return 4;
}

bool alsoTakesType18(int major, int minor) { return major == 4 && minor >= 21 && minor <= 24; }

// The image id is the boot loader's own version unless the scenario names
// another one.
Generation4Bootloader::Generation4Bootloader(Box& box)
    : DirectDownload(box),
      frameType_(frameTypeOf(box.traits().major, box.traits().minor)),
      alsoType18_(alsoTakesType18(box.traits().major, box.traits().minor)),
      imageId_(box.scenario().imageId.value_or(static_cast<std::uint32_t>(box.traits().major) << 16 |
                                               static_cast<std::uint32_t>(box.traits().minor))) {}

std::string Generation4Bootloader::menuEntries() const { return " 7 - download compressed image\r\n"; }

bool Generation4Bootloader::onMenuKey(char key, std::uint64_t nowUs) {
    if (key != '7' || !atMenu()) return false;
    promptForFile(nowUs);
    return true;
}

bool Generation4Bootloader::takesType(std::uint8_t type) const {
    return type == frameType_ || (alsoType18_ && type == 18);
}

void Generation4Bootloader::take(std::uint8_t byte, std::uint64_t nowUs) {
    switch (frame_.take(byte)) {
    case FrameAssembly::Event::None: return;
    case FrameAssembly::Event::Length:
        if (frame_.payloadLength() == 0 || frame_.payloadLength() > kFlashBytes)
            reject("frame announces " + std::to_string(frame_.payloadLength()) + " compressed bytes", false, nowUs);
        return;
    case FrameAssembly::Event::Header:
        if (!takesType(frame_.type()))
            reject("frame carries image type " + std::to_string(frame_.type()) + ", not " +
                       std::to_string(frameType_) + (alsoType18_ ? " or 18" : ""),
                   false, nowUs);
        else if (frame_.id() != imageId_)
            reject("frame carries image id " + hexText(frame_.id()) + ", not " + hexText(imageId_), false, nowUs);
        return;
    case FrameAssembly::Event::Complete: break;
    }
    Bytes image;
    std::size_t extension = 0;
    if (auto problem = frame_.unpack(image, extension)) {
        reject(*problem, true, nowUs);
        return;
    }
    std::string detail = "flashed a padded image of " + std::to_string(readBig32(image.data())) +
                         " payload bytes, " + std::to_string(extension) + "-byte header extension";
    if (extension >= 1) detail += ", type " + std::to_string(image[4]);
    if (extension == 5) detail += ", id " + hexText(readBig32(image.data() + 5));
    detail += ", from a type " + std::to_string(frame_.type()) + " frame of " +
              std::to_string(frame_.payloadLength()) + " compressed bytes with image id " + hexText(imageId_);
    programImage(std::move(image), detail, nowUs);
}

}  // namespace boxmodel
