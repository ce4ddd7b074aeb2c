#include "generation2_bootloader.h"

#include <algorithm>

#include "box.h"

namespace boxmodel {

namespace {

constexpr std::uint8_t kFrameType = 2;

}  // namespace

std::string Generation2Bootloader::menuEntries() const {
    return " 3 - download packed image\r\n 7 - download compressed image\r\n";
}

bool Generation2Bootloader::onMenuKey(char key, std::uint64_t nowUs) {
    if ((key != '3' && key != '7') || !atMenu()) return false;
    packed_ = key == '3';
    promptForFile(nowUs);
    return true;
}

void Generation2Bootloader::take(std::uint8_t byte, std::uint64_t nowUs) {
    if (packed_) takePacked(byte, nowUs);
    else takeFrame(byte, nowUs);
}

// The packed stream has no length of its own: it ends where the unpacked bytes
// form a whole padded image and the bits left over are the ones of the fill.
void Generation2Bootloader::takePacked(std::uint8_t byte, std::uint64_t nowUs) {
    ++streamBytes_;
    decoder_.feed(byte);
    const Bytes& image = decoder_.output();
    if (decoder_.broken()) {
        reject("the packed stream holds a code that is not in the table", false, nowUs);
        return;
    }
    if (image.size() < 4) return;
    const std::uint64_t length = readBig32(image.data());
    if (length + 13 > kFlashBytes) {
        reject("unpacked image length " + std::to_string(length) + " exceeds the flash", false, nowUs);
        return;
    }
    if (image.size() > length + 13) {
        reject("the packed stream goes on after an image of " + std::to_string(length) + " payload bytes", false,
               nowUs);
        return;
    }
    const std::size_t extension = image.size() - std::min<std::size_t>(image.size(), length + 8);
    const bool candidate = image.size() >= length + 8 && (extension == 0 || extension == 1 || extension == 5);
    if (!candidate) return;
    std::size_t found = 0;
    const auto problem = paddedImageProblem(image, found);
    if (!problem && decoder_.atFillEnd()) {
        // complete
    } else {
        // The largest header extension reached: nothing more can make it an image.
        if (extension == 5)
            reject(problem ? "the unpacked stream is no padded image: " + *problem
                           : std::string("the packed stream does not end in a fill of ones"),
                   false, nowUs);
        return;
    }
    std::string detail = "flashed a padded image of " + std::to_string(length) + " payload bytes, " +
                         std::to_string(found) + "-byte header extension";
    if (found >= 1) detail += ", type " + std::to_string(image[4]);
    detail += ", unpacked from " + std::to_string(streamBytes_) + " bytes";
    programImage(decoder_.takeOutput(), detail, nowUs);
}

void Generation2Bootloader::takeFrame(std::uint8_t byte, std::uint64_t nowUs) {
    switch (frame_.take(byte)) {
    case FrameAssembly::Event::None: return;
    case FrameAssembly::Event::Length:
        if (frame_.payloadLength() == 0 || frame_.payloadLength() > kFlashBytes)
            reject("frame announces " + std::to_string(frame_.payloadLength()) + " compressed bytes", false, nowUs);
        return;
    case FrameAssembly::Event::Header:
        if (frame_.type() != kFrameType)
            reject("frame carries image type " + std::to_string(frame_.type()) + ", not 2", false, nowUs);
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
    detail += ", from a type 2 frame of " + std::to_string(frame_.payloadLength()) + " compressed bytes";
    programImage(std::move(image), detail, nowUs);
}

}  // namespace boxmodel
