// Both transfers over the simulated line while the box answers with bytes the
// input chose, at byte counts or times of its choosing, stalls and hangs up:
// the reply scans stay inside their buffers, the PC sends the file's stream
// in order without a byte lost or doubled, and a failure names only what the
// box really said.
#include <bzlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform/serial_ports.h"
#include "image/padded_image.h"
#include "common/status.h"
#include "transfer/compressed.h"
#include "transfer/packing.h"
#include "transfer/send_file.h"

namespace {

constexpr int kImageTypes[] = {2, 4, 5, 3};  // 3 has no compressed download
constexpr std::uint32_t kLimitsMs[] = {300, 120000};
constexpr char kFlashIdMarker[] = "Flash's manufacturer and/or device ids dont match!";

std::vector<std::uint8_t> makeFile(std::size_t length, std::uint8_t seed, bool leadingRecord) {
    std::vector<std::uint8_t> bytes(length);
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        // Zeros are common in images and take the packing's shortest code.
        byte = (state >> 28) < 6 ? 0 : static_cast<std::uint8_t>(state >> 20);
    }
    if (leadingRecord && length >= 2) {
        bytes[0] = 0x11;
        bytes[1] = seed;
    }
    return bytes;
}

void script(fuzz::InputReader& input, fuzz::AnsweringPeer& peer) {
    if (const std::uint8_t stall = input.byte(); stall != 0) {
        peer.stallAfterBytes = stall * 64ull;
        const std::uint8_t until = input.byte();
        peer.stallUntilUs = until == 0 ? simline::kNoEvent : until * 100'000ull;
    }
    if (const std::uint8_t hangUp = input.byte(); hangUp != 0) peer.hangUpAtUs = hangUp * 50'000ull;
    std::uint64_t at = 0;
    while (!input.empty()) {
        const std::uint16_t trigger = input.u16();
        const bool onBytes = (trigger & 0x8000) != 0;
        const std::size_t length = input.byte();
        if (onBytes) peer.pieces.push_back({true, (trigger & 0x7FFFu) * 4ull, input.text(length)});
        else peer.pieces.push_back({false, at += trigger * 1000ull, input.text(length)});
    }
}

bool contains(const std::string& haystack, const char* needle) { return haystack.find(needle) != std::string::npos; }

// What a failure's status may only follow from. In both scans a flash-id
// message that breaks off fails at its "F", so a marker is only ever completed
// by its letters side by side.
void checkStatus(std::uint32_t status, const fuzz::AnsweringPeer& peer) {
    FUZZ_REQUIRE(strnlen(boxErrorText, kBoxErrorTextSize) < kBoxErrorTextSize);
    switch (status) {
        case UPD_ERR_FLASH_ID_MISMATCH: FUZZ_REQUIRE(contains(peer.sent, kFlashIdMarker)); break;
        case UPD_ERR_BOX_ERROR: FUZZ_REQUIRE(contains(peer.sent, "ERROR:")); break;
        case UPD_ERR_BOX_STOP: FUZZ_REQUIRE(contains(peer.sent, "STOP")); break;
        case UPD_ERR_FLASH_FAILED:
            FUZZ_REQUIRE(peer.sent.find_first_of(":;?FU") != std::string::npos);
            break;
        default: break;
    }
}

bool startsWith(const std::vector<std::uint8_t>& whole, const std::vector<std::uint8_t>& part) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

std::vector<std::uint8_t> packedStream(const std::string& path) {
    std::vector<std::uint8_t> out;
    platform::FileHandle file = platform::openFileForReading(path.c_str());
    FUZZ_REQUIRE(file != platform::kInvalidFile);
    resetPacking();
    std::uint8_t block[4096];
    for (;;) {
        std::uint32_t produced = 0;
        std::uint32_t consumed = 0;
        FUZZ_REQUIRE(readPacked(file, block, sizeof block, produced, consumed, 1) == 1);
        if (produced == 0) break;
        out.insert(out.end(), block, block + produced);
    }
    platform::closeFile(file);
    return out;
}

// The frame as sent, read back: its payload unpacks to the image.
void checkFrame(const std::vector<std::uint8_t>& frame, const std::vector<std::uint8_t>& image, int imageType) {
    const std::uint32_t header = imageType == 2 ? 5 : 9;
    FUZZ_REQUIRE(frame.size() >= header + 4);
    const std::uint32_t n = readBigEndian32(frame.data());
    FUZZ_REQUIRE(frame.size() == header + n + 4);
    FUZZ_REQUIRE(frame[4] == imageType);
    FUZZ_REQUIRE(readBigEndian32(frame.data() + header + n) == addByteSum(0, frame.data() + header, n));
    std::vector<char> unpacked(image.size() + 1);
    unsigned int unpackedSize = static_cast<unsigned int>(unpacked.size());
    std::vector<char> payload(frame.begin() + header, frame.begin() + header + n);
    FUZZ_REQUIRE(BZ2_bzBuffToBuffDecompress(unpacked.data(), &unpackedSize, payload.data(), n, 0, 0) == BZ_OK);
    FUZZ_REQUIRE(unpackedSize == image.size());
    FUZZ_REQUIRE(image.empty() || std::memcmp(unpacked.data(), image.data(), image.size()) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceStandardOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::InputReader input(data, size);
    const std::uint8_t flags = input.byte();
    const bool compressed = (flags & 1) != 0;
    const int packed = (flags >> 1) & 1;
    const int leadingRecord = (flags >> 2) & 1;
    const int imageType = kImageTypes[(flags >> 3) & 3];
    const int overrideHeader = (flags >> 5) & 1;
    const int showProgress = (flags >> 6) & 1;
    const std::uint32_t limitMs = kLimitsMs[flags >> 7];
    const std::uint8_t lengthChoice = input.byte();
    const std::uint8_t seed = input.byte();
    // Mostly files of a few blocks of replies, now and then one longer than a
    // transfer block; every byte costs the simulated line some work.
    const std::size_t length = lengthChoice < 240 ? lengthChoice * 16u : 10240u + (lengthChoice - 240u) * 400u;
    const std::vector<std::uint8_t> file = makeFile(length, seed, leadingRecord != 0);
    const std::string path = fuzz::writeScratchFile("image.bin", file.data(), file.size());

    fuzz::AnsweringPeer peer;
    script(input, peer);
    simline::install(peer);
    platform::PortHandle port = platform::openPort(platform::defaultDeviceForComPort(1).c_str());
    FUZZ_REQUIRE(port != platform::kInvalidPort);
    FUZZ_REQUIRE(platform::configureLine(port, 115200, true));
    FUZZ_REQUIRE(platform::setWriteTimeouts(port, 1, 10));
    std::memset(boxErrorText, 'x', sizeof boxErrorText);  // no terminator left over from an earlier run
    boxErrorText[kBoxErrorTextSize - 1] = '\0';

    constexpr std::uint32_t kBootloaderId = 0x40007;
    int result = 0;
    std::vector<std::uint8_t> expected;
    if (compressed) {
        const fuzz::QuietStderr quiet;
        result = sendFileCompressed(port, path.c_str(), imageType, kBootloaderId, limitMs, showProgress,
                                    overrideHeader);
        if (imageType != 3) {
            const std::uint32_t header = imageType == 2 ? 5 : 9;
            expected.assign(frameBuffer, frameBuffer + header + readBigEndian32(frameBuffer) + 4);
        }
    } else {
        result = sendFile(port, path.c_str(), limitMs, showProgress, packed, leadingRecord);
        expected = packed != 0 && leadingRecord == 0 ? packedStream(path) : file;
    }
    const std::uint32_t status = platform::lastError();
    const std::vector<std::uint8_t> written = simline::bytesWritten();

    FUZZ_REQUIRE(startsWith(expected, written));
    if (result == 1) {
        FUZZ_REQUIRE(written == expected);
        // Every byte the PC read was scanned, a zero byte too: no failure
        // character among them went unseen.
        const std::vector<std::uint8_t>& read = simline::bytesRead();
        FUZZ_REQUIRE(std::find(read.begin(), read.end(), '?') == read.end());
        FUZZ_REQUIRE(std::find(read.begin(), read.end(), 'U') == read.end());
        if (compressed) {
            std::vector<std::uint8_t> image = file;
            if (overrideHeader != 0) {
                std::uint8_t fields[5] = {static_cast<std::uint8_t>(imageType)};
                writeBigEndian32(fields + 1, kBootloaderId);
                for (std::size_t i = 0; i < (imageType == 2 ? 1u : 5u) && 4 + i < image.size(); ++i)
                    image[4 + i] = fields[i];
            }
            checkFrame(written, image, imageType);
        }
    } else {
        checkStatus(status, peer);
    }

    platform::closePort(port);
    simline::uninstall();
    return 0;
}
