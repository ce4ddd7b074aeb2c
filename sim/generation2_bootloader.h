// Boot loaders 2.0 to 4.1: after the key "3" they take the padded image packed
// through the code table, after the key "7" a compressed frame of type 2;
// either way they check the image, program the flash and say "finished!".
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "compressed_reception.h"
#include "packed_decoder.h"

namespace boxmodel {

class Generation2Bootloader : public DirectDownload {
public:
    explicit Generation2Bootloader(Box& box) : DirectDownload(box) {}

    std::string menuEntries() const override;
    bool onMenuKey(char key, std::uint64_t nowUs) override;

private:
    void take(std::uint8_t byte, std::uint64_t nowUs) override;
    void takePacked(std::uint8_t byte, std::uint64_t nowUs);
    void takeFrame(std::uint8_t byte, std::uint64_t nowUs);

    bool packed_ = false;
    sim::PackedDecoder decoder_;
    std::uint64_t streamBytes_ = 0;
    FrameAssembly frame_{1};
};

}  // namespace boxmodel
