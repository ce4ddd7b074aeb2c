// SHA-256 (FIPS 180-4), for the digest of an image in the box records.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
public:
    Sha256();
    void add(const void* data, std::size_t size);
    // The digest in lower-case hex; the object is used up.
    std::string hexDigest();

private:
    void compress(const std::uint8_t* block);
    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> pending_{};
    std::size_t pendingSize_ = 0;
    std::uint64_t totalBytes_ = 0;
};
