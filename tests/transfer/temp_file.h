// Files the transfer tests read from, in a directory of their own that goes
// away with the test.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/temp_directory.h"

class TempDir {
public:
    TempDir() : path_(test_support::makeTempDirectory("update-transfer-")) {}
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
        const std::string file = (path_ / name).string();
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return file;
    }
    std::string path(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline std::vector<std::uint8_t> randomBytes(std::size_t count, std::uint32_t seed, unsigned zeroPercent = 0) {
    std::vector<std::uint8_t> bytes(count);
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = ((state >> 8) % 100 < zeroPercent) ? 0 : static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}
