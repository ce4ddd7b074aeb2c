// Generation 2 and 3 boot loaders take the image packed through the code
// table (key "3") or bzip2-compressed (key "7").
#include <cstdio>

#include "procedures/procedures.h"
#include "procedures/steps.h"
#include "transfer/compressed.h"
#include "transfer/send_file.h"

namespace {
constexpr std::uint32_t kPauseBeforeKeyMs = 500;
constexpr std::uint32_t kPauseAfterFileMs = 500;
constexpr int kCompressedImageType = 2;
}  // namespace

UPDATE_PROCEDURE(updateGeneration2) {
    (void)imageId, (void)unused, (void)speed;
    if (!awaitReply(port, "choice!:")) return 1;
    if (!switchToFastSpeed(port)) return 1;
    if (!payloadFits(port, imageLength)) return 1;
    platform::sleepMs(kPauseBeforeKeyMs);
    const int packed = compressedImage ? kUnpacked : kPacked;
    if (!sendKey(port, compressedImage ? '7' : '3')) return 1;
    if (!awaitReply(port, "file:")) return 1;
    platform::sleepMs(kPauseAfterFileMs);
    printOut("Download file...");

    const int sent = compressImage ? sendFileCompressed(port, imagePath, kCompressedImageType, 0, kTransferLimitMs,
                                                        kShowProgress, overrideImageHeader ? kOverrideHeader : kKeepHeader)
                                   : sendFile(port, imagePath, kTransferLimitMs, kShowProgress, packed,
                                              kNoLeadingRecord);
    return finishDownload(port, sent, TransferReportForm::Error,
                          compressImage ? TransferKind::Compressed : TransferKind::Stream);
}
