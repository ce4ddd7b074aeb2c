// What the boot loaders of generations 2 to 4 share: an image downloaded
// straight into flash after a menu key and "file:", checked as a padded image
// before it is programmed; and the compressed frame, a padded image whose
// payload is a bzip2 stream of the padded image proper.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "file_reception.h"
#include "generation.h"

namespace boxmodel {

using Bytes = std::vector<std::uint8_t>;

// The most a box's flash takes; a longer image or frame is refused.
inline constexpr std::size_t kFlashBytes = 4u << 20;

std::uint32_t readBig32(const std::uint8_t* bytes);
std::uint32_t sumOfBytes(const std::uint8_t* bytes, std::size_t count);
std::string hexText(std::uint32_t value);

// A whole padded image in memory: length, header extension of 0, 1 or 5
// bytes (taken from where the payload sum fits), payload, byte sum. Returns
// what is wrong with it, or nothing; extension tells the size found.
std::optional<std::string> paddedImageProblem(const Bytes& image, std::size_t& extension);

// Inflates a bzip2 stream that must fill `stream` exactly, into at most
// kFlashBytes. Returns what is wrong, or nothing.
std::optional<std::string> inflate(const std::uint8_t* stream, std::size_t size, Bytes& out);

// A compressed frame as it comes in, byte by byte: length n, the header
// extension of the generation's size, n payload bytes, their sum.
class FrameAssembly {
public:
    explicit FrameAssembly(std::size_t extensionBytes) : extensionBytes_(extensionBytes) {}

    // What a byte completed: the length field, the header extension, the frame.
    enum class Event { None, Length, Header, Complete };
    Event take(std::uint8_t byte);

    std::uint32_t payloadLength() const { return readBig32(bytes_.data()); }
    std::uint8_t type() const { return bytes_[4]; }
    std::uint32_t id() const { return readBig32(bytes_.data() + 5); }
    std::size_t size() const { return bytes_.size(); }
    // The frame once complete: the sum checked, the payload inflated and the
    // result checked as a padded image; the image, or what is wrong.
    std::optional<std::string> unpack(Bytes& image, std::size_t& imageExtension) const;

private:
    std::size_t extensionBytes_;
    Bytes bytes_;
};

// The dialogue a direct download follows; the generation says what the
// bytes after "file:" mean.
class DirectDownload : public Generation {
public:
    explicit DirectDownload(Box& box) : Generation(box), reception_(box) {}
    void receive(std::uint8_t byte, bool garbled, std::uint64_t nowUs) final;

protected:
    // After a download key: "file:" after the box's reply time.
    void promptForFile(std::uint64_t nowUs);
    bool atMenu() const { return phase_ == Phase::Menu; }
    // One byte of the download that the transfer faults have let through.
    virtual void take(std::uint8_t byte, std::uint64_t nowUs) = 0;
    // The whole image is in and sound: program it, then "finished!".
    void programImage(Bytes image, std::string detail, std::uint64_t nowUs);
    // Refuses the download; allIn: the PC has sent everything and only waits
    // for "finished!".
    void reject(const std::string& reason, bool allIn, std::uint64_t nowUs);

private:
    enum class Phase { Menu, Prompting, Receiving, Programming, Finished };
    void errorLineWhenQuiet(std::string reason, std::uint64_t nowUs);
    // A download that stops short would leave the PC waiting for "finished!"
    // for good: once the PC has been quiet a while, refuse it.
    void watchForSilence(std::uint64_t nowUs);

    FileReception reception_;
    Phase phase_ = Phase::Menu;
    bool watching_ = false;
};

}  // namespace boxmodel
