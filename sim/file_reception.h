// Receiving a file the way every downloading boot loader does: a "." per
// block, "e" then "p" while a sector is erased and written (taking no input
// meanwhile), and the scenario's transfer fault at its byte. The generation
// decides what the bytes mean.
#pragma once

#include <cstdint>

namespace boxmodel {

class Box;

class FileReception {
public:
    // faultHere: whether the scenario's transfer fault strikes this transfer
    // (a generation 1 box receives two files).
    explicit FileReception(Box& box, bool faultHere = true) : box_(box), faultHere_(faultHere) {}

    // Counts one byte received after "file:". False when the scenario's fault
    // ends the transfer at this byte: it and all later ones are not the file's.
    bool take(std::uint64_t nowUs);
    // The file is in: no more progress characters.
    void close() { closed_ = true; }

    std::uint64_t received() const { return received_; }

private:
    void strike(std::uint64_t nowUs);

    Box& box_;
    bool faultHere_;
    std::uint64_t received_ = 0;
    bool ended_ = false;
    bool closed_ = false;
};

}  // namespace boxmodel
