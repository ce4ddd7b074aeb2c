// Placeholder for the update procedures that are not written yet: each says so
// and lets the box go, so a run never claims an update it did not make.
#include <cstdio>

#include "procedures/procedures.h"
#include "serial/port_setup.h"

namespace {
int notYetSupported(PortHandle port) {
    std::fputs("This boot loader generation cannot be updated by this build yet.\n", stderr);
    releaseBootloader(port);
    platform::closePort(port);
    return 1;
}
}  // namespace

#define PENDING(name)                                                                                       \
    UPDATE_PROCEDURE(name) {                                                                                \
        (void)imagePath, (void)imageLength, (void)imageId, (void)unused, (void)compressedImage,            \
            (void)compressImage, (void)speed, (void)overrideImageHeader;                                    \
        return notYetSupported(port);                                                                       \
    }

PENDING(updateBootloader14)
PENDING(updateBootloader15)
PENDING(updateBootloader16)
PENDING(updateBootloader17)
PENDING(updateBootloader18)
