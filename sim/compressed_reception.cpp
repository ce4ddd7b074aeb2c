#include "compressed_reception.h"

#include <bzlib.h>

#include <cstdio>

#include "box.h"
#include "texts.h"

namespace boxmodel {

namespace {

// The PC reads transfer replies only while it still writes; once it has been
// quiet this long it waits for "finished!" and sees only the error line.
constexpr std::uint32_t kQuietBeforeErrorLineMs = 500;
// A download that stops short: the PC has nothing more to send.
constexpr std::uint32_t kQuietBeforeGivingUpMs = 1000;

}  // namespace

std::uint32_t readBig32(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 | std::uint32_t{bytes[2]} << 8 | bytes[3];
}

std::uint32_t sumOfBytes(const std::uint8_t* bytes, std::size_t count) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum += bytes[i];
    return sum;
}

std::string hexText(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

std::optional<std::string> paddedImageProblem(const Bytes& image, std::size_t& extension) {
    if (image.size() <= 8) return "an image of " + std::to_string(image.size()) + " bytes is no padded image";
    const std::uint32_t length = readBig32(image.data());
    if (length > image.size() - 8)
        return "image length " + std::to_string(length) + " exceeds the " + std::to_string(image.size()) +
               " bytes received";
    extension = image.size() - 8 - length;
    if (extension != 0 && extension != 1 && extension != 5)
        return "a header extension of " + std::to_string(extension) + " bytes";
    const std::uint8_t* payload = image.data() + 4 + extension;
    const std::uint32_t sum = sumOfBytes(payload, length);
    const std::uint32_t stated = readBig32(payload + length);
    if (sum != stated) return "image sum " + hexText(stated) + " does not match its payload's " + hexText(sum);
    return std::nullopt;
}

std::optional<std::string> inflate(const std::uint8_t* stream, std::size_t size, Bytes& out) {
    bz_stream bz{};
    if (BZ2_bzDecompressInit(&bz, 0, 0) != BZ_OK) return "cannot set up decompression";
    out.assign(kFlashBytes + 1, 0);
    bz.next_in = const_cast<char*>(reinterpret_cast<const char*>(stream));
    bz.avail_in = static_cast<unsigned>(size);
    bz.next_out = reinterpret_cast<char*>(out.data());
    bz.avail_out = static_cast<unsigned>(out.size());
    const int rc = BZ2_bzDecompress(&bz);
    const std::size_t produced = out.size() - bz.avail_out;
    const unsigned left = bz.avail_in;
    BZ2_bzDecompressEnd(&bz);
    out.resize(produced);
    if (rc == BZ_OK && produced > kFlashBytes) return "the payload inflates to more than the flash holds";
    if (rc == BZ_OK) return "the payload's bzip2 stream ends early";
    if (rc != BZ_STREAM_END) return "the payload is no bzip2 stream (libbzip2 says " + std::to_string(rc) + ")";
    if (left != 0) return std::to_string(left) + " bytes follow the payload's bzip2 stream";
    return std::nullopt;
}

FrameAssembly::Event FrameAssembly::take(std::uint8_t byte) {
    bytes_.push_back(byte);
    const std::size_t size = bytes_.size();
    if (size == 4) return Event::Length;
    if (size == 4 + extensionBytes_) return Event::Header;
    if (size > 4 + extensionBytes_ && size == 4 + extensionBytes_ + std::size_t{payloadLength()} + 4)
        return Event::Complete;
    return Event::None;
}

std::optional<std::string> FrameAssembly::unpack(Bytes& image, std::size_t& imageExtension) const {
    const std::uint32_t n = payloadLength();
    const std::uint8_t* payload = bytes_.data() + 4 + extensionBytes_;
    const std::uint32_t sum = sumOfBytes(payload, n);
    const std::uint32_t stated = readBig32(payload + n);
    if (sum != stated) return "frame sum " + hexText(stated) + " does not match the compressed bytes' " + hexText(sum);
    if (auto problem = inflate(payload, n, image)) return problem;
    if (auto problem = paddedImageProblem(image, imageExtension)) return "inflated image: " + *problem;
    return std::nullopt;
}

void DirectDownload::promptForFile(std::uint64_t nowUs) {
    phase_ = Phase::Prompting;
    box_.after(box_.scenario().keyReplyMs, nowUs, [this](std::uint64_t now) {
        box_.sayPrompt(Prompt::File, "\r\nReady to receive ", kFilePrompt, now, [this](std::uint64_t later) {
            phase_ = Phase::Receiving;
            box_.reach(Step::File, later);
        });
    });
}

void DirectDownload::receive(std::uint8_t byte, bool garbled, std::uint64_t nowUs) {
    (void)garbled;  // a garbled byte is a wrong byte: the sums catch it
    switch (phase_) {
    case Phase::Menu: break;
    case Phase::Prompting: box_.note("download: ignored a byte that came before \"file:\""); break;
    case Phase::Receiving:
        if (reception_.take(nowUs)) take(byte, nowUs);
        if (phase_ == Phase::Receiving) watchForSilence(nowUs);
        break;
    case Phase::Programming:
    case Phase::Finished: box_.note("download: ignored a byte after the image"); break;
    }
}

void DirectDownload::programImage(Bytes image, std::string detail, std::uint64_t nowUs) {
    reception_.close();
    phase_ = Phase::Programming;
    box_.note(detail);
    box_.reach(Step::Image, nowUs);
    box_.after(box_.scenario().programmingMs, nowUs,
               [this, image = std::move(image), detail = std::move(detail)](std::uint64_t now) mutable {
                   box_.sayPrompt(Prompt::Finished, "\r\nFlash programmed, ", kFinishedPrompt, now,
                                  [this, image = std::move(image), detail](std::uint64_t later) mutable {
                                      phase_ = Phase::Finished;
                                      box_.say("\r\n", later);
                                      box_.flashed(std::move(image), detail, later);
                                      box_.reach(Step::Finished, later);
                                  });
               });
}

void DirectDownload::reject(const std::string& reason, bool allIn, std::uint64_t nowUs) {
    reception_.close();
    // The marker leads the line: the PC keeps the line it finds it in.
    if (!allIn) box_.say("ERROR: " + reason + "\r\n", nowUs);
    errorLineWhenQuiet(reason, nowUs);
    box_.decide(Outcome::Kind::Rejected, reason, nowUs);
}

void DirectDownload::watchForSilence(std::uint64_t nowUs) {
    if (watching_) return;
    watching_ = true;
    constexpr std::uint64_t quietUs = std::uint64_t{kQuietBeforeGivingUpMs} * 1000;
    const std::uint64_t dueUs = box_.quietSinceUs() + quietUs;
    box_.afterUs(dueUs > nowUs ? dueUs - nowUs : 0, nowUs, [this](std::uint64_t now) {
        watching_ = false;
        if (phase_ != Phase::Receiving || box_.decided()) return;
        if (now < box_.quietSinceUs() + quietUs) {
            watchForSilence(now);
            return;
        }
        reject("the download stopped after " + std::to_string(reception_.received()) +
                   " bytes, short of a whole image",
               true, now);
    });
}

void DirectDownload::errorLineWhenQuiet(std::string reason, std::uint64_t nowUs) {
    constexpr std::uint64_t quietUs = std::uint64_t{kQuietBeforeErrorLineMs} * 1000;
    const std::uint64_t dueUs = box_.lastInputUs() + quietUs;
    box_.afterUs(dueUs > nowUs ? dueUs - nowUs : 0, nowUs, [this, reason](std::uint64_t now) {
        if (now - box_.lastInputUs() >= quietUs) box_.say("\r\nERRORgaga: " + reason + "\n", now);
        else errorLineWhenQuiet(reason, now);
    });
}

}  // namespace boxmodel
