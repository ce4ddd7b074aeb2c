#include "dated_bootloader.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "box.h"
#include "texts.h"
#include "time_stamp.h"

namespace boxmodel {

namespace {

constexpr std::size_t kTimeStampBytes = 5;
constexpr std::size_t kAnnouncementBytes = 9;
constexpr std::uint8_t kAnnouncedType = 7;
constexpr std::uint8_t kLeadingRecordTag = 0x11;
constexpr std::uint32_t kLargestImage = 16u << 20;
constexpr std::uint32_t kQuietBeforeErrorLineMs = 500;

std::uint32_t bigEndian32(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 | std::uint32_t{bytes[2]} << 8 | bytes[3];
}

std::uint32_t byteSum(const std::uint8_t* bytes, std::size_t count) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum += bytes[i];
    return sum;
}

std::string hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

}  // namespace

std::string DatedBootloader::menuEntries() const { return " 2 - download dated image\r\n"; }

bool DatedBootloader::onMenuKey(char key, std::uint64_t nowUs) {
    if (key != '2' || phase_ != Phase::Menu) return false;
    phase_ = Phase::Prompting;
    box_.after(box_.scenario().keyReplyMs, nowUs, [this](std::uint64_t now) {
        box_.sayPrompt(Prompt::File, "\r\nReady to receive ", kFilePrompt, now, [this](std::uint64_t later) {
            phase_ = Phase::TimeStamp;
            box_.reach(Step::File, later);
        });
    });
    return true;
}

void DatedBootloader::receive(std::uint8_t byte, bool garbled, std::uint64_t nowUs) {
    (void)garbled;  // a garbled byte simply is a wrong byte: the checks catch it
    if (phase_ == Phase::Prompting) {
        box_.note("download: ignored a byte that came before \"file:\"");
        return;
    }
    if (!reception_.take(nowUs)) return;
    switch (phase_) {
    case Phase::Menu:
    case Phase::Prompting: break;
    case Phase::TimeStamp:
        record_.push_back(byte);
        if (record_.size() == kTimeStampBytes) checkTimeStamp(nowUs);
        break;
    case Phase::Announcement:
        record_.push_back(byte);
        if (record_.size() == kAnnouncementBytes) checkAnnouncement(nowUs);
        break;
    case Phase::Image:
        image_.push_back(byte);
        onImageByte(nowUs);
        break;
    case Phase::Sum:
        record_.push_back(byte);
        if (record_.size() == 4) checkSum(nowUs);
        break;
    case Phase::Programming: box_.note("download: ignored a byte after the byte sum"); break;
    }
}

void DatedBootloader::checkTimeStamp(std::uint64_t nowUs) {
    const auto stamp = decodeTimeStamp(record_.data());
    if (!stamp) {
        char text[80];
        std::snprintf(text, sizeof text, "time stamp %02X %02X %02X %02X %02X is no valid time", record_[0],
                      record_[1], record_[2], record_[3], record_[4]);
        reject(text, nowUs);
        return;
    }
    const std::int32_t tolerance = box_.scenario().clockToleranceS;
    if (tolerance >= 0 && box_.hasPcClock()) {
        const platform::LocalTime pc = box_.pcTime();
        const CivilDate today{pc.year, pc.month, pc.day};
        stampText_ = describe(*stamp, today);
        const std::int64_t off = secondsAfter(*stamp, today, pc.hour, pc.minute, pc.second);
        if (std::llabs(off) > tolerance) {
            reject("time stamp " + stampText_ + " is " + std::to_string(off) + " s off the PC's clock", nowUs);
            return;
        }
        box_.note("time stamp " + stampText_ + " matches the PC's clock (" + std::to_string(off) + " s)");
    } else {
        stampText_ = describe(*stamp, dateOfMjd(stamp->mjd));
        box_.note("time stamp " + stampText_ + " taken unchecked");
    }
    record_.clear();
    phase_ = Phase::Announcement;
    box_.reach(Step::TimeStamp, nowUs);
}

void DatedBootloader::checkAnnouncement(std::uint64_t nowUs) {
    announcedLength_ = bigEndian32(record_.data());
    const std::uint8_t type = record_[4];
    announcedId_ = bigEndian32(record_.data() + 5);
    if (type != kAnnouncedType) {
        reject("announcement carries image type " + std::to_string(type) + ", not 7", nowUs);
        return;
    }
    const auto& wantedId = box_.scenario().imageId;
    if (wantedId && *wantedId != announcedId_) {
        reject("announcement carries image id " + hex32(announcedId_) + ", not " + hex32(*wantedId), nowUs);
        return;
    }
    if (announcedLength_ == 0 || announcedLength_ > kLargestImage) {
        reject("announced image length " + std::to_string(announcedLength_) + " is implausible", nowUs);
        return;
    }
    box_.note("announcement: " + std::to_string(announcedLength_) + " bytes, image id " + hex32(announcedId_));
    record_.clear();
    phase_ = Phase::Image;
    box_.reach(Step::Announcement, nowUs);
}

void DatedBootloader::onImageByte(std::uint64_t nowUs) {
    const std::size_t size = image_.size();
    // The leading record: tag, length, then that many bytes, after which the
    // box needs a pause to digest it before the image proper follows.
    if (size == 2 && image_[0] == kLeadingRecordTag) leadingRecordEnd_ = 2 + std::size_t{image_[1]};
    if (leadingRecordEnd_ != 0 && size == leadingRecordEnd_) leadingRecordDoneUs_ = nowUs;
    if (leadingRecordEnd_ != 0 && size == leadingRecordEnd_ + 1) {
        const std::uint64_t byteUs = simline::byteTimeUs(box_.listeningBaud());
        const std::uint64_t gapUs = nowUs - leadingRecordDoneUs_ - std::min(byteUs, nowUs - leadingRecordDoneUs_);
        const std::string gap = std::to_string(gapUs / 1000) + " ms";
        if (gapUs < std::uint64_t{box_.scenario().recordPauseMs} * 1000) {
            reject("no pause after the " + std::to_string(leadingRecordEnd_) + "-byte leading record (" + gap + ")",
                   nowUs);
            return;
        }
        recordText_ = std::to_string(leadingRecordEnd_) + "-byte leading record, then a pause of " + gap;
        box_.note(recordText_);
    }
    if (size == 4) padded_ = std::uint64_t{bigEndian32(image_.data())} + 8 == announcedLength_;
    if (imageComplete(nowUs)) {
        phase_ = Phase::Sum;
        box_.reach(Step::Image, nowUs);
    }
}

bool DatedBootloader::imageComplete(std::uint64_t nowUs) {
    const std::size_t size = image_.size();
    if (!padded_) return size == announcedLength_;
    // A padded image: the length value counts payload and the two 4-byte
    // fields, not the header extension, whose size (0, 1 or 5) the box learns
    // from where the payload sum fits.
    const std::uint32_t payload = announcedLength_ - 8;
    if (size < announcedLength_) return false;
    const std::size_t extension = size - announcedLength_;
    if (extension == 0 || extension == 1 || extension == 5) {
        const std::uint8_t* body = image_.data() + 4 + extension;
        if (byteSum(body, payload) == bigEndian32(body + payload)) {
            box_.note("padded image: " + std::to_string(payload) + " payload bytes, " + std::to_string(extension) +
                      "-byte header extension, payload sum right");
            return true;
        }
    }
    if (extension >= 5) reject("the data after the announcement is no padded image of the announced length", nowUs);
    return false;
}

void DatedBootloader::checkSum(std::uint64_t nowUs) {
    const std::uint32_t received = bigEndian32(record_.data());
    const std::uint32_t expected = byteSum(image_.data(), announcedLength_);
    reception_.close();
    if (received != expected) {
        reject("byte sum " + hex32(received) + " does not match the image's " + hex32(expected), nowUs);
        return;
    }
    box_.note("byte sum " + hex32(received) + " right");
    phase_ = Phase::Programming;
    box_.reach(Step::Sum, nowUs);
    box_.after(box_.scenario().programmingMs, nowUs, [this](std::uint64_t now) { finish(now); });
}

void DatedBootloader::finish(std::uint64_t nowUs) {
    box_.sayPrompt(Prompt::Finished, "\r\nFlash programmed, ", kFinishedPrompt, nowUs, [this](std::uint64_t now) {
        box_.say("\r\n", now);
        std::string detail = "flashed " + std::to_string(image_.size()) + " bytes (";
        detail += padded_ ? "padded image" : "image";
        if (!recordText_.empty()) detail += " with a " + recordText_;
        detail += ", image id " + hex32(announcedId_) + ", time stamp " + stampText_ + ")";
        box_.flashed(image_, detail, now);
        box_.reach(Step::Finished, now);
    });
}

void DatedBootloader::reject(const std::string& reason, std::uint64_t nowUs) {
    if (phase_ == Phase::Sum) {
        // The PC has sent everything and waits for "finished!": only the error
        // line reaches it now.
        box_.say("\r\nERRORgaga: " + reason + "\n", nowUs);
    } else {
        box_.say("\r\nERROR: " + reason + "\r\n", nowUs);
        repeatRejectionWhenQuiet(reason, nowUs);
    }
    box_.decide(Outcome::Kind::Rejected, reason, nowUs);
}

void DatedBootloader::repeatRejectionWhenQuiet(std::string reason, std::uint64_t nowUs) {
    // A PC that had already sent its last block reads no transfer replies any
    // more; once it has gone quiet it waits for "finished!" and sees only the
    // error line.
    constexpr std::uint64_t quietUs = std::uint64_t{kQuietBeforeErrorLineMs} * 1000;
    const std::uint64_t dueUs = box_.lastInputUs() + quietUs;
    box_.afterUs(dueUs > nowUs ? dueUs - nowUs : 0, nowUs, [this, reason](std::uint64_t now) {
        if (now - box_.lastInputUs() >= quietUs) box_.say("\r\nERRORgaga: " + reason + "\n", now);
        else repeatRejectionWhenQuiet(reason, now);
    });
}

}  // namespace boxmodel
