// Paces one direction of the line at the real byte rate: each byte takes ten
// bit times and starts when the previous one has ended.
#pragma once

#include <algorithm>
#include <cstdint>

#include "peer.h"

namespace boxsim {

class LinePacer {
public:
    explicit LinePacer(bool fullSpeed) : fullSpeed_(fullSpeed) {}

    // A byte that can start at earliestUs: when it will have arrived.
    std::uint64_t schedule(std::uint64_t earliestUs, std::uint32_t baud) {
        const std::uint64_t start = std::max(freeUs_, earliestUs);
        freeUs_ = start + (fullSpeed_ ? 0 : simline::byteTimeUs(baud));
        return freeUs_;
    }
    std::uint64_t freeUs() const { return freeUs_; }
    void reset(std::uint64_t nowUs) { freeUs_ = nowUs; }

private:
    bool fullSpeed_;
    std::uint64_t freeUs_ = 0;
};

}  // namespace boxsim
