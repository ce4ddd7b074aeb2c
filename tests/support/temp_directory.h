// A fresh directory under the system's temporary directory, made the same way
// on every system the tests build for (mkdtemp is POSIX only).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace test_support {

// Creates <temp>/<prefix><random> and returns it; throws when no name is free.
inline std::filesystem::path makeTempDirectory(std::string_view prefix) {
    static std::mt19937_64 random{std::random_device{}() ^
                                  static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())};
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path candidate = base / (std::string(prefix) + std::to_string(random() % 1000000000000ull));
        std::error_code error;
        // create_directory is false for a name that already exists: try another.
        if (std::filesystem::create_directory(candidate, error)) return candidate;
        if (error) throw std::filesystem::filesystem_error("cannot create a temporary directory", candidate, error);
    }
    throw std::runtime_error("no free temporary directory name");
}

}  // namespace test_support
