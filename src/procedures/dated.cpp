// Boot loaders 4.11 to 4.13: time stamp, announcement, the image with its
// leading record, and the byte sum of the image.
#include <cstdio>

#include "image/image_check.h"
#include "image/padded_image.h"
#include "procedures/dated_records.h"
#include "procedures/procedures.h"
#include "procedures/steps.h"
#include "serial/explain.h"
#include "serial/timed_io.h"
#include "transfer/report.h"
#include "transfer/send_file.h"

namespace {

constexpr std::uint32_t kPauseBeforeKeyMs = 500;
constexpr std::uint32_t kPauseAfterFileMs = 500;
constexpr std::uint8_t kAnnouncedImageType = 7;

std::uint8_t bcd(int value) { return static_cast<std::uint8_t>(((value / 10) << 4) | (value % 10)); }

// Sums the first imageLength bytes of the file. false when the file cannot be
// read that far (a failed read, or a file that shrank since it was checked).
bool sumImage(const char* imagePath, std::uint32_t imageLength, std::uint32_t& sum) {
    platform::FileHandle file = platform::openFileForReading(imagePath);
    if (file == platform::kInvalidFile) return false;
    const bool summed = sumFileBytes(file, imageLength, sum);
    platform::closeFile(file);
    return summed;
}

}  // namespace

std::uint16_t modifiedJulianDate(int year, int month, int day) {
    const int y = year - 1900;
    const int leap = (month == 1 || month == 2) ? 1 : 0;
    // int(x * 365.25) and int(x * 30.6001), in integers: both cut towards zero.
    const long mjd = 14956L + day + (static_cast<long>(y - leap) * 36525L) / 100L +
                     (static_cast<long>(month + 1 + leap * 12) * 306001L) / 10000L;
    return static_cast<std::uint16_t>(static_cast<unsigned long>(mjd) & 0xFFFFu);
}

BoxTimeStamp makeBoxTimeStamp(const platform::LocalTime& time) {
    const std::uint16_t mjd = modifiedJulianDate(time.year, time.month, time.day);
    return {static_cast<std::uint8_t>(mjd >> 8), static_cast<std::uint8_t>(mjd), bcd(time.hour), bcd(time.minute),
            bcd(time.second)};
}

ImageAnnouncement makeImageAnnouncement(std::uint32_t imageLength, std::uint32_t imageId) {
    ImageAnnouncement record{};
    writeBigEndian32(record.data(), imageLength);
    record[4] = kAnnouncedImageType;
    writeBigEndian32(record.data() + 5, imageId);
    return record;
}

UPDATE_PROCEDURE(updateDated) {
    (void)unused, (void)compressedImage, (void)compressImage, (void)speed, (void)overrideImageHeader;
    if (!awaitReply(port, "choice!:")) return 1;
    if (!switchToFastSpeed(port)) return 1;
    platform::sleepMs(kPauseBeforeKeyMs);
    if (!sendKey(port, '2')) return 1;
    if (!awaitReply(port, "file:")) return 1;
    platform::sleepMs(kPauseAfterFileMs);
    printOut("Download file...");

    const BoxTimeStamp stamp = makeBoxTimeStamp(platform::localTime());
    if (!sendRecord(port, stamp.data(), stamp.size())) return 1;
    const ImageAnnouncement announcement = makeImageAnnouncement(imageLength, imageId);
    if (!sendRecord(port, announcement.data(), announcement.size())) return 1;

    if (sendFile(port, imagePath, kTransferLimitMs, kShowProgress, kUnpacked, kLeadingRecord) != 1) {
        // "STOP" is how these boxes end a transfer early: a success.
        if (reportFailedTransfer(platform::lastError(), TransferReportForm::Dated)) return 0;
        platform::closePort(port);
        return 1;
    }

    std::uint32_t sum = 0;
    if (!sumImage(imagePath, imageLength, sum)) {
        explainSilentFailure("the image could not be read again for its byte sum (changed since the check?)",
                             platform::lastError());
        explainPowerCycle();
        platform::closePort(port);
        return 1;
    }
    std::uint8_t sumBytes[4];
    writeBigEndian32(sumBytes, sum);
    if (!sendRecord(port, sumBytes, sizeof sumBytes)) return 1;
    return awaitProgramming(port);
}
