// Boot loaders 4.11 to 4.13: after the key "2" and "file:" they take a time
// stamp (5 bytes), an announcement of the image (9 bytes), the image and the
// 32-bit sum of its first announced bytes, check each, program the flash and
// say "finished!".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "file_reception.h"
#include "generation.h"

namespace boxmodel {

class DatedBootloader : public Generation {
public:
    explicit DatedBootloader(Box& box) : Generation(box), reception_(box) {}

    std::string menuEntries() const override;
    bool onMenuKey(char key, std::uint64_t nowUs) override;
    void receive(std::uint8_t byte, bool garbled, std::uint64_t nowUs) override;

private:
    enum class Phase { Menu, Prompting, TimeStamp, Announcement, Image, Sum, Programming };

    void checkTimeStamp(std::uint64_t nowUs);
    void checkAnnouncement(std::uint64_t nowUs);
    void onImageByte(std::uint64_t nowUs);
    bool imageComplete(std::uint64_t nowUs);
    void checkSum(std::uint64_t nowUs);
    void finish(std::uint64_t nowUs);
    void reject(const std::string& reason, std::uint64_t nowUs);
    void repeatRejectionWhenQuiet(std::string reason, std::uint64_t nowUs);

    FileReception reception_;
    Phase phase_ = Phase::Menu;
    std::vector<std::uint8_t> record_;  // time stamp, then announcement
    std::string stampText_;
    std::uint32_t announcedLength_ = 0;
    std::uint32_t announcedId_ = 0;
    std::vector<std::uint8_t> image_;
    bool padded_ = false;
    std::size_t leadingRecordEnd_ = 0;  // bytes of the image up to the end of its leading record; 0: none
    std::uint64_t leadingRecordDoneUs_ = 0;
    std::string recordText_;
};

}  // namespace boxmodel
