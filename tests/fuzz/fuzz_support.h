// Shared by the fuzz targets: reading a fuzz input field by field, a scratch
// directory for files made from it, and a box stand-in that answers the PC
// with bytes the input chose.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "simplatform/sim_platform.h"
#include "support/temp_directory.h"

namespace fuzz {

// Takes fields from the front of the input; an exhausted input gives zeros
// and empty texts, so every input is a valid one.
class InputReader {
public:
    InputReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(byte() << 8 | byte()); }
    std::string text(std::size_t length) {
        if (length > size_ - at_) length = size_ - at_;
        std::string out(reinterpret_cast<const char*>(data_ + at_), length);
        at_ += length;
        return out;
    }
    std::vector<std::uint8_t> rest() {
        std::vector<std::uint8_t> out(data_ + at_, data_ + size_);
        at_ = size_;
        return out;
    }
    bool empty() const { return at_ >= size_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// A directory of its own for the files a target writes, removed at exit; in
// memory where the system offers it, since every run writes a file.
inline const std::filesystem::path& scratchDir() {
    static const std::filesystem::path dir = [] {
        std::error_code ignored;
        const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ignored)
                                               ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
        const std::filesystem::path made = test_support::makeTempDirectory("update-fuzz-", base);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(scratchDir(), ignored);
        });
        return made;
    }();
    return dir;
}

inline std::string writeScratchFile(const char* name, const std::uint8_t* bytes, std::size_t size) {
    const std::string path = (scratchDir() / name).string();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || (size > 0 && std::fwrite(bytes, 1, size, file) != size) || std::fclose(file) != 0) {
        std::perror(path.c_str());
        std::abort();
    }
    return path;
}

// What the program under test prints is of no interest here and would only
// slow the run down; libFuzzer reports on standard error.
inline void silenceStandardOutput() {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
}

// Sends the program's notes on standard error to nowhere while it lives.
// glibc's stderr is an ordinary variable; the sanitizers and libFuzzer's own
// reports of a crash meanwhile go straight to descriptor 2, which stays open.
class QuietStderr {
public:
    QuietStderr() : saved_(stderr) {
        static std::FILE* const nowhere = std::fopen("/dev/null", "w");
        if (nowhere != nullptr) stderr = nowhere;
    }
    ~QuietStderr() { stderr = saved_; }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    std::FILE* saved_;
};

// Fails the run loudly, so libFuzzer keeps the input that broke a property.
#define FUZZ_REQUIRE(condition)                                                                       \
    do {                                                                                              \
        if (!(condition)) {                                                                           \
            std::fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                             \
        }                                                                                             \
    } while (0)

// The box stand-in: sends each piece at its time or once the PC's bytes reach
// its count, may stop taking data for a while, and may hang up.
class AnsweringPeer : public simline::Peer {
public:
    struct Piece {
        bool onBytes;    // true: `at` counts the PC's bytes; false: microseconds
        std::uint64_t at;
        std::string text;
    };
    std::vector<Piece> pieces;
    std::uint64_t hangUpAtUs = simline::kNoEvent;
    std::uint64_t stallAfterBytes = UINT64_MAX;
    std::uint64_t stallUntilUs = simline::kNoEvent;
    std::vector<std::uint8_t> received;
    std::string sent;  // all pieces that went out, in order

    void receive(std::uint8_t byte, std::uint32_t pcBaud, std::uint64_t) override {
        received.push_back(byte);
        baud_ = pcBaud;
        fire(true, received.size());
    }
    bool acceptsInput(std::uint64_t nowUs) const override {
        return received.size() < stallAfterBytes || nowUs >= stallUntilUs;
    }
    std::uint64_t nextEventUs() const override {
        std::uint64_t next = simline::kNoEvent;
        for (std::size_t i = 0; i < pieces.size(); ++i)
            if (!done(i) && !pieces[i].onBytes && pieces[i].at < next) next = pieces[i].at;
        if (!hangUpSeen_ && hangUpAtUs < next) next = hangUpAtUs;
        // The end of a stall is an event, so the line looks at acceptsInput again.
        if (!stallEndSeen_ && received.size() >= stallAfterBytes && stallUntilUs < next) next = stallUntilUs;
        return next;
    }
    void onTimer(std::uint64_t nowUs) override {
        if (nowUs >= hangUpAtUs) hangUpSeen_ = true;
        if (nowUs >= stallUntilUs && received.size() >= stallAfterBytes) stallEndSeen_ = true;
        fire(false, nowUs);
    }
    bool hungUp(std::uint64_t nowUs) const override { return nowUs >= hangUpAtUs; }

private:
    bool done(std::size_t i) const { return i < fired_.size() && fired_[i]; }
    void fire(bool onBytes, std::uint64_t reached) {
        fired_.resize(pieces.size(), false);
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            if (fired_[i] || pieces[i].onBytes != onBytes || pieces[i].at > reached) continue;
            fired_[i] = true;
            transmit(pieces[i].text, baud_);
            sent += pieces[i].text;
        }
    }
    std::uint32_t baud_ = 115200;
    std::vector<bool> fired_;
    bool hangUpSeen_ = false;
    bool stallEndSeen_ = false;
};

}  // namespace fuzz
