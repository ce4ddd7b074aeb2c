// A padded image arriving byte by byte, as stored or packed through the code
// table: it tells when the image is complete (its length field counts only the
// payload, so the header extension's size shows only where the payload sum
// fits) and what is wrong with it when it cannot be one. Used by the
// generation 1 boot loaders for hyper.pad and by the hyper bootloader for the
// image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "packed_decoder.h"

namespace boxmodel {

class Box;

class PaddedReception {
public:
    enum class State { Incomplete, Complete, Invalid };

    // largestPayload: a length field above it is refused at once.
    PaddedReception(bool packed, std::uint32_t largestPayload) : packed_(packed), largestPayload_(largestPayload) {}

    // Takes one byte off the line. Once Complete or Invalid, it stays so and
    // later bytes are only counted.
    State take(std::uint8_t byte);

    State state() const { return state_; }
    bool packed() const { return packed_; }
    // The image as far as it came (unpacked); once complete, exactly the image.
    const std::vector<std::uint8_t>& image() const { return image_; }
    std::uint32_t payloadLength() const { return payloadLength_; }
    std::size_t extension() const { return extension_; }
    // The header extension's first byte (the image type, hyper.pad's mode
    // byte), 0 without one.
    std::uint8_t typeByte() const { return extension_ > 0 ? image_[4] : 0; }
    const std::uint8_t* payload() const { return image_.data() + 4 + extension_; }
    const std::string& problem() const { return problem_; }
    std::uint64_t lineBytes() const { return lineBytes_; }
    std::uint64_t bytesAfterImage() const { return bytesAfter_; }

private:
    void look();
    bool sumFits(std::size_t extension) const;
    void invalid(std::string problem);

    bool packed_;
    std::uint32_t largestPayload_;
    sim::PackedDecoder decoder_;
    std::vector<std::uint8_t> image_;
    State state_ = State::Incomplete;
    std::uint32_t payloadLength_ = 0;
    std::size_t extension_ = 0;
    std::string problem_;
    std::uint64_t lineBytes_ = 0;
    std::uint64_t bytesAfter_ = 0;
};

// A boot loader that found the PC's data wrong: "ERROR:" and the reason at
// once, which a transfer under way reports; and, once the PC has been quiet
// for a while (it has sent its last block and now waits for a prompt), the
// error line, which that wait reports.
void rejectData(Box& box, const std::string& reason, std::uint64_t nowUs);

// A stream that stops before it forms a padded image (a wrong payload sum, a
// cut-off file) leaves the box waiting for the rest; once the line has been
// quiet for a second it gives up and rejects what came. Call when the first
// byte arrives; `prefix` names the file in the reason.
void rejectWhenStalled(Box& box, const PaddedReception& reception, std::string prefix, std::uint64_t nowUs);

}  // namespace boxmodel
