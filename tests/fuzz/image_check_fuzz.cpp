// The image check over files made of arbitrary bytes, against a plain
// in-memory reading of the padded image format.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "image/image_check.h"

namespace {

std::uint32_t bigEndian(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 | std::uint32_t{bytes[2]} << 8 | bytes[3];
}

// The image length value a sound padded image of these bytes has, or 0.
std::uint32_t expectedLength(const std::uint8_t* data, std::size_t size, std::uint8_t& type, std::uint32_t& id) {
    if (size <= 8) return 0;
    const std::uint64_t payload = bigEndian(data);
    if (payload + 8 > size) return 0;
    const std::uint64_t extension = size - payload - 8;
    if (extension != 0 && extension != 1 && extension != 5) return 0;
    const std::uint8_t* body = data + 4 + extension;
    std::uint32_t sum = 0;
    for (std::uint64_t i = 0; i < payload; ++i) sum += body[i];
    if (sum != bigEndian(body + payload)) return 0;
    type = extension == 0 ? 0 : data[4];
    id = extension == 5 ? bigEndian(data + 5) : 0;
    return static_cast<std::uint32_t>(payload + 8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = fuzz::writeScratchFile("image.bin", data, size);

    constexpr std::uint8_t kUntouchedType = 0xEE;
    constexpr std::uint32_t kUntouchedId = 0xDEADBEEF;
    std::uint8_t type = kUntouchedType;
    std::uint32_t id = kUntouchedId;
    std::uint8_t wantedType = 0;
    std::uint32_t wantedId = 0;
    const std::uint32_t wanted = expectedLength(data, size, wantedType, wantedId);
    const std::uint32_t length = checkImageFile(path.c_str(), type, id, 0);
    FUZZ_REQUIRE(length == wanted);
    if (length != 0) {
        FUZZ_REQUIRE(type == wantedType);
        FUZZ_REQUIRE(id == wantedId);
    } else {
        FUZZ_REQUIRE(type == kUntouchedType);
        FUZZ_REQUIRE(id == kUntouchedId);
    }

    // An irdeto image is taken as it is: any non-empty file, by its size.
    type = kUntouchedType;
    id = kUntouchedId;
    const std::uint32_t irdeto = checkImageFile(path.c_str(), type, id, 1);
    FUZZ_REQUIRE(irdeto == size);
    if (size > 0) {
        FUZZ_REQUIRE(type == 7);
        FUZZ_REQUIRE(id == 0x4000C);
    }
    return 0;
}
