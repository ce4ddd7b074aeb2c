// Boot loaders 4.2 to 4.99 other than 4.11 to 4.13: after the key "7" they
// take a compressed frame of the type their version calls for (4; 5 for 4.6,
// 4.7 and 4.14; 6 for 4.99), carrying their image id; they check it, inflate
// it, check the image, program the flash and say "finished!".
#pragma once

#include <cstdint>
#include <string>

#include "compressed_reception.h"

namespace boxmodel {

// The frame type a generation 4 boot loader of this version takes.
std::uint8_t frameTypeOf(int major, int minor);
// 4.21 to 4.24 are served images of type 18; a file compressed beforehand
// for them comes as a frame of that type, an image compressed on the fly as
// one of type 4. They take both.
bool alsoTakesType18(int major, int minor);

class Generation4Bootloader : public DirectDownload {
public:
    explicit Generation4Bootloader(Box& box);

    std::string menuEntries() const override;
    bool onMenuKey(char key, std::uint64_t nowUs) override;

private:
    void take(std::uint8_t byte, std::uint64_t nowUs) override;

    bool takesType(std::uint8_t type) const;

    std::uint8_t frameType_;
    bool alsoType18_;
    std::uint32_t imageId_;
    FrameAssembly frame_{5};
};

}  // namespace boxmodel
