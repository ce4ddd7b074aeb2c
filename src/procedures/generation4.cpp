// Generation 4 boot loaders take the image bzip2-compressed, directly.
#include <cstdio>

#include "procedures/procedures.h"
#include "procedures/steps.h"
#include "transfer/compressed.h"
#include "transfer/send_file.h"

using platform::PortHandle;

namespace {

constexpr std::uint32_t kPauseBeforeKeyMs = 500;
constexpr std::uint32_t kPauseAfterFileMs = 500;

// The three entries differ only in the image type written into the frame.
int updateGeneration4(int imageType, PortHandle port, const char* imagePath, std::uint32_t imageLength,
                      std::uint32_t imageId, bool compressedImage, bool compressImage, bool overrideImageHeader) {
    if (!awaitReply(port, "choice!:")) return 1;
    if (!switchToFastSpeed(port)) return 1;
    if (!payloadFits(port, imageLength)) return 1;
    platform::sleepMs(kPauseBeforeKeyMs);
    if (!sendKey(port, '7')) return 1;
    if (!awaitReply(port, "file:")) return 1;
    platform::sleepMs(kPauseAfterFileMs);
    printOut("Download file...");

    // -2 alone: the file is compressed already. Otherwise compress it here.
    const bool stored = compressedImage && !compressImage;
    const int sent = stored ? sendFile(port, imagePath, kTransferLimitMs, kShowProgress, kUnpacked, kNoLeadingRecord)
                            : sendFileCompressed(port, imagePath, imageType, imageId, kTransferLimitMs, kShowProgress,
                                                 overrideImageHeader ? kOverrideHeader : kKeepHeader);
    return finishDownload(port, sent, TransferReportForm::Fehler,
                          stored ? TransferKind::Stream : TransferKind::Compressed);
}

}  // namespace

#define GENERATION4_ENTRY(name, imageType)                                                                   \
    UPDATE_PROCEDURE(name) {                                                                                 \
        (void)unused, (void)speed;                                                                           \
        return updateGeneration4(imageType, port, imagePath, imageLength, imageId, compressedImage,          \
                                 compressImage, overrideImageHeader);                                        \
    }

GENERATION4_ENTRY(updateGeneration4Type4, 4)
GENERATION4_ENTRY(updateGeneration4Type5, 5)
GENERATION4_ENTRY(updateGeneration4Type6, 6)
