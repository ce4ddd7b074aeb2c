#include "padded_reception.h"

#include "box.h"

namespace boxmodel {

namespace {

constexpr std::uint32_t kQuietBeforeErrorLineMs = 500;
constexpr std::uint32_t kQuietEndsStreamMs = 1000;

std::uint32_t bigEndian32(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 | std::uint32_t{bytes[2]} << 8 | bytes[3];
}

void sayErrorLineWhenQuiet(Box& box, const std::string& reason, std::uint64_t nowUs) {
    constexpr std::uint64_t quietUs = std::uint64_t{kQuietBeforeErrorLineMs} * 1000;
    const std::uint64_t dueUs = box.lastInputUs() + quietUs;
    box.afterUs(dueUs > nowUs ? dueUs - nowUs : 0, nowUs, [&box, reason](std::uint64_t now) {
        if (now - box.lastInputUs() >= quietUs) box.say("\r\nERRORgaga: " + reason + "\n", now);
        else sayErrorLineWhenQuiet(box, reason, now);
    });
}

}  // namespace

PaddedReception::State PaddedReception::take(std::uint8_t byte) {
    ++lineBytes_;
    if (state_ != State::Incomplete) {
        ++bytesAfter_;
        return state_;
    }
    if (!packed_) {
        image_.push_back(byte);
        look();
        return state_;
    }
    // A line byte may complete several codes: look at every size on the way,
    // so the image ends exactly where its sum fits.
    decoder_.feed(byte);
    if (decoder_.broken()) {
        invalid("the packed stream holds a bit string that is no code");
        return state_;
    }
    std::vector<std::uint8_t> decoded = decoder_.takeOutput();
    for (std::size_t i = 0; i < decoded.size(); ++i) {
        if (state_ != State::Incomplete) {
            bytesAfter_ += decoded.size() - i;
            break;
        }
        image_.push_back(decoded[i]);
        look();
    }
    if (state_ == State::Complete && !decoder_.atFillEnd())
        invalid("the packed stream does not end in a fill of 1-bits after the image's last code");
    return state_;
}

void PaddedReception::look() {
    const std::size_t size = image_.size();
    if (size == 4) {
        payloadLength_ = bigEndian32(image_.data());
        if (payloadLength_ == 0 || payloadLength_ > largestPayload_)
            invalid("length field " + std::to_string(payloadLength_) + " is implausible");
        return;
    }
    if (size < 8 || size < std::size_t{payloadLength_} + 8) return;
    const std::size_t extension = size - payloadLength_ - 8;
    if ((extension == 0 || extension == 1 || extension == 5) && sumFits(extension)) {
        extension_ = extension;
        state_ = State::Complete;
        return;
    }
    if (extension >= 5) invalid("no padded image: the payload sum fits after no header extension of 0, 1 or 5 bytes");
}

bool PaddedReception::sumFits(std::size_t extension) const {
    const std::uint8_t* body = image_.data() + 4 + extension;
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < payloadLength_; ++i) sum += body[i];
    return sum == bigEndian32(body + payloadLength_);
}

void PaddedReception::invalid(std::string problem) {
    state_ = State::Invalid;
    problem_ = std::move(problem);
}

void rejectData(Box& box, const std::string& reason, std::uint64_t nowUs) {
    box.say("\r\nERROR: " + reason + "\r\n", nowUs);
    sayErrorLineWhenQuiet(box, reason, nowUs);
    box.decide(Outcome::Kind::Rejected, reason, nowUs);
}

void rejectWhenStalled(Box& box, const PaddedReception& reception, std::string prefix, std::uint64_t nowUs) {
    constexpr std::uint64_t quietUs = std::uint64_t{kQuietEndsStreamMs} * 1000;
    const std::uint64_t dueUs = box.quietSinceUs() + quietUs;
    box.afterUs(dueUs > nowUs ? dueUs - nowUs : 0, nowUs, [&box, &reception, prefix](std::uint64_t now) {
        if (box.decided() || reception.state() != PaddedReception::State::Incomplete) return;
        if (now < box.quietSinceUs() + quietUs) {
            rejectWhenStalled(box, reception, prefix, now);
            return;
        }
        std::string reason = prefix + "the stream stopped after " + std::to_string(reception.image().size()) +
                             " bytes";
        if (reception.image().size() >= std::size_t{reception.payloadLength()} + 8)
            reason += ", and the payload sum fits after no header extension of 0, 1 or 5 bytes";
        else
            reason += ", short of the " + std::to_string(reception.payloadLength()) + " payload bytes announced";
        rejectData(box, reason, now);
    });
}

}  // namespace boxmodel
