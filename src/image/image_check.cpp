// The check of the padded application image named on the command line.
#include "image/image_check.h"

#include "image/padded_image.h"
#include "common/scratch_buffer.h"
#include "platform/platform.h"

namespace {

// Image facts of an irdeto image, which carries no header of its own: the
// image type and the id of boot loader 4.12.
constexpr std::uint8_t kIrdetoImageType = 7;
constexpr std::uint32_t kIrdetoImageId = 0x4000C;

// Length field and byte sum around the payload.
constexpr std::uint64_t kFrameBytes = 8;
// The image length value is 32 bits wide; a larger file cannot be described.
constexpr std::uint64_t kLargestFile = 0xFFFFFFFFu;

// Reads exactly `size` bytes unless the file ends or a read fails.
bool readExactly(platform::FileHandle file, std::uint8_t* buffer, std::uint32_t size) {
    std::uint32_t done = 0;
    while (done < size) {
        std::uint32_t received = 0;
        if (!platform::readFile(file, buffer + done, size - done, received) || received == 0) return false;
        done += received < size - done ? received : size - done;
    }
    return true;
}

std::uint32_t checkOpenImage(platform::FileHandle file, std::uint8_t& imageType, std::uint32_t& bootloaderId,
                             ImageProblem& problem) {
    const auto failed = [&](ImageProblem why) {
        problem = why;
        return 0u;
    };
    std::uint64_t size = 0;
    if (!platform::fileSize(file, size)) return failed(ImageProblem::ReadFailed);
    if (size == 0) return failed(ImageProblem::Empty);
    if (size <= kFrameBytes) return failed(ImageProblem::TooShort);
    if (size > kLargestFile) return failed(ImageProblem::TooLarge);

    std::uint8_t field[5];
    if (!readExactly(file, field, 4)) return failed(ImageProblem::ReadFailed);
    const std::uint32_t payloadLength = readBigEndian32(field);
    if (payloadLength > size - kFrameBytes) return failed(ImageProblem::LengthTooLong);

    // The format has no field for the extension size; what is left over is it.
    const std::uint64_t extension = size - payloadLength - kFrameBytes;
    if (extension != 0 && extension != 1 && extension != 5) return failed(ImageProblem::BadLayout);
    if (extension != 0 && !readExactly(file, field, static_cast<std::uint32_t>(extension)))
        return failed(ImageProblem::ReadFailed);
    const std::uint8_t type = extension == 0 ? 0 : field[0];
    const std::uint32_t id = extension == 5 ? readBigEndian32(field + 1) : 0;

    std::uint32_t sum = 0;
    if (!sumFileBytes(file, payloadLength, sum) || !readExactly(file, field, 4)) return failed(ImageProblem::ReadFailed);
    if (readBigEndian32(field) != sum) return failed(ImageProblem::SumWrong);

    imageType = type;
    bootloaderId = id;
    return payloadLength + static_cast<std::uint32_t>(kFrameBytes);
}

}  // namespace

std::uint32_t checkImageFile(const char* path, std::uint8_t& imageType, std::uint32_t& bootloaderId, int irdeto) {
    ImageProblem problem = ImageProblem::None;
    return checkImageFile(path, imageType, bootloaderId, irdeto, problem);
}

std::uint32_t checkImageFile(const char* path, std::uint8_t& imageType, std::uint32_t& bootloaderId, int irdeto,
                             ImageProblem& problem) {
    problem = ImageProblem::None;
    if (path == nullptr) {
        problem = ImageProblem::NoName;
        return 0;
    }
    platform::FileHandle file = platform::openFileForReading(path);
    if (file == platform::kInvalidFile) {
        problem = ImageProblem::CannotOpen;
        return 0;
    }

    std::uint32_t result = 0;
    if (irdeto == 1) {
        // An irdeto image is sent as it is; only its size is known beforehand.
        std::uint64_t size = 0;
        if (!platform::fileSize(file, size)) {
            problem = ImageProblem::ReadFailed;
        } else if (size == 0) {
            problem = ImageProblem::Empty;
        } else if (size > kLargestFile) {
            problem = ImageProblem::TooLarge;
        } else {
            imageType = kIrdetoImageType;
            bootloaderId = kIrdetoImageId;
            result = static_cast<std::uint32_t>(size);
        }
    } else {
        result = checkOpenImage(file, imageType, bootloaderId, problem);
    }
    platform::closeFile(file);
    return result;
}

bool sumFileBytes(platform::FileHandle file, std::uint32_t length, std::uint32_t& sum) {
    sum = 0;
    std::uint32_t remaining = length;
    while (remaining > 0) {
        const std::uint32_t chunk = remaining < kScratchBufferSize ? remaining : kScratchBufferSize;
        std::uint32_t received = 0;
        if (!platform::readFile(file, scratchBuffer, chunk, received) || received == 0) return false;
        if (received > chunk) received = chunk;
        sum = addByteSum(sum, scratchBuffer, received);
        remaining -= received;
    }
    return true;
}
