// A fresh directory under the system's temporary directory, made the same way
// on every system the tests build for (mkdtemp is POSIX only), and the few
// file helpers the tests use inside it.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace test_support {

// Creates <base>/<prefix><random> and returns it, base the system's temporary
// directory unless given; throws when no name is free.
inline std::filesystem::path makeTempDirectory(std::string_view prefix, std::filesystem::path base = {}) {
    static std::mt19937_64 random{std::random_device{}() ^
                                  static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())};
    if (base.empty()) base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path candidate = base / (std::string(prefix) + std::to_string(random() % 1000000000000ull));
        std::error_code error;
        // create_directory is false for a name that already exists: try another.
        if (std::filesystem::create_directory(candidate, error)) return candidate;
        if (error) throw std::filesystem::filesystem_error("cannot create a temporary directory", candidate, error);
    }
    throw std::runtime_error("no free temporary directory name");
}

inline std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

inline std::vector<std::uint8_t> readFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeWholeFile(const std::string& path, std::string_view content) {
    std::ofstream(path, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
}

inline void writeWholeFile(const std::string& path, const std::vector<std::uint8_t>& content) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
}

// A directory of one test's own, removed with everything in it when the
// object goes, also what the test left read-only.
class TempDirectory {
public:
    explicit TempDirectory(std::string_view prefix = "update-test-") : path_(makeTempDirectory(prefix).string()) {}
    ~TempDirectory() {
        std::error_code ignored;
        // remove_all cannot enter a directory without rights, and Windows
        // removes no read-only file.
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
        for (auto entry = std::filesystem::recursive_directory_iterator(path_, ignored);
             entry != std::filesystem::recursive_directory_iterator(); entry.increment(ignored)) {
            std::filesystem::permissions(entry->path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                                         std::filesystem::perm_options::add, ignored);
            if (entry->is_directory(ignored))
                std::filesystem::permissions(entry->path(), std::filesystem::perms::owner_all,
                                             std::filesystem::perm_options::add, ignored);
        }
        std::filesystem::remove_all(path_, ignored);
    }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return (std::filesystem::path(path_) / name).string(); }
    // Writes the file anew and returns its path.
    std::string write(const std::string& name, const std::vector<std::uint8_t>& content) const {
        const std::string path = file(name);
        writeWholeFile(path, content);
        return path;
    }

private:
    std::string path_;
};

// Makes a directory the current one while the object lives, e.g. for what the
// program writes into the current directory.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const std::string& path) : previous_(std::filesystem::current_path()) {
        std::filesystem::current_path(path);
    }
    ~CurrentDirectory() {
        std::error_code ignored;
        std::filesystem::current_path(previous_, ignored);
    }
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;

private:
    std::filesystem::path previous_;
};

}  // namespace test_support
