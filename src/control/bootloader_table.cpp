// The supported boot loaders, in the order they are tried and listed.
#include "control/bootloader_table.h"

#include "procedures/procedures.h"

const SupportedBootloader SupportedBootloaderTable[kSupportedBootloaderCount + 1] = {
    {"1.4", 0, updateBootloader14},
    {"1.5", 0, updateBootloader15},
    {"1.6", 0, updateBootloader16},
    {"1.7", 1, updateBootloader17},
    {"1.8", 0, updateBootloader18},
    {"1.9", 1, updateBootloader17},
    {"2.0", 2, updateGeneration2},
    {"2.1", 2, updateGeneration2},
    {"2.2", 2, updateGeneration2},
    {"3.1", 2, updateGeneration2},
    {"3.2", 2, updateGeneration2},
    {"3.3", 2, updateGeneration2},
    {"4.1", 2, updateGeneration2},
    {"4.2", 4, updateGeneration4Type4},
    {"4.3", 4, updateGeneration4Type4},
    {"4.4", 4, updateGeneration4Type4},
    {"4.5", 4, updateGeneration4Type4},
    {"4.6", 5, updateGeneration4Type5},
    {"4.7", 5, updateGeneration4Type5},
    {"4.8", 4, updateGeneration4Type4},
    {"4.9", 4, updateGeneration4Type4},
    {"4.10", 4, updateGeneration4Type4},
    {"4.11", 7, updateDated},
    {"4.11", 8, updateDated},
    {"4.11", 9, updateDated},
    {"4.12", 7, updateDated},
    {"4.12", 8, updateDated},
    {"4.12", 9, updateDated},
    {"4.13", 7, updateDated},
    {"4.13", 8, updateDated},
    {"4.13", 9, updateDated},
    {"4.14", 5, updateGeneration4Type5},
    {"4.15", 4, updateGeneration4Type4},
    {"4.16", 4, updateGeneration4Type4},
    {"4.17", 4, updateGeneration4Type4},
    {"4.18", 4, updateGeneration4Type4},
    {"4.19", 4, updateGeneration4Type4},
    {"4.20", 4, updateGeneration4Type4},
    {"4.21", 18, updateGeneration4Type4},
    {"4.22", 18, updateGeneration4Type4},
    {"4.23", 18, updateGeneration4Type4},
    {"4.24", 18, updateGeneration4Type4},
    {"4.25", 4, updateGeneration4Type4},
    {"4.26", 4, updateGeneration4Type4},
    {"4.27", 4, updateGeneration4Type4},
    {"4.28", 4, updateGeneration4Type4},
    {"4.29", 4, updateGeneration4Type4},
    {"4.90", 4, updateGeneration4Type4},
    {"4.91", 4, updateGeneration4Type4},
    {"4.99", 6, updateGeneration4Type6},
    {nullptr, 0, nullptr},
};

const SupportedBootloader* findUpdateProcedure(const BootloaderVersion& boxVersion, std::uint8_t& imageType,
                                               std::uint32_t& imageId, bool overrideImageHeader) {
    for (const SupportedBootloader* row = SupportedBootloaderTable; row->procedure != nullptr; ++row) {
        // With -x the image's own header no longer counts: every row visited
        // takes its type for the image, and the box's version becomes the id.
        if (overrideImageHeader) {
            imageType = static_cast<std::uint8_t>(row->imageType);
            imageId = versionImageId(boxVersion);
        }
        if (parseVersion(row->version) == boxVersion && (row->imageType & 0xFFu) == imageType) return row;
    }
    return nullptr;
}
