// hyper.pad: the carried hyper bootloader in the padded image format, so the
// generation 1 boot loader takes it like any image.
#include "image/hyper_pad.h"

#include "image/padded_image.h"
#include "platform/platform.h"

int writeHyperPad(std::uint8_t modeByte) {
    // Length field, then the mode byte as a one-byte header extension; mode 0
    // needs none, since a missing extension reads back as image type 0.
    std::uint8_t header[5];
    writeBigEndian32(header, kHyperBootloaderSize);
    header[4] = modeByte;
    const std::uint32_t headerSize = modeByte != 0 ? 5 : 4;

    std::uint8_t checksum[4];
    writeBigEndian32(checksum, addByteSum(0, hyperBootloaderPayload, kHyperBootloaderSize));

    // createFileAnew never writes through a link planted under this name, so
    // a file in a shared working directory cannot be used to overwrite another.
    platform::FileHandle file = platform::createFileAnew(kHyperPadFileName);
    if (file == platform::kInvalidFile) return 0;

    const bool written = platform::writeFile(file, header, headerSize) &&
                         platform::writeFile(file, hyperBootloaderPayload, kHyperBootloaderSize) &&
                         platform::writeFile(file, checksum, sizeof checksum);
    platform::closeFile(file);
    return written ? 1 : 0;
}
