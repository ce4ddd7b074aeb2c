// Runs each test in a fresh temporary directory, so hyper.pad, which the
// program writes into the current directory, never lands in the source tree.
#pragma once

#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <cstdlib>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/temp_directory.h"

class InWorkDir : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = std::filesystem::current_path();
        dir_ = test_support::makeTempDirectory("hyper-test-");
        std::filesystem::current_path(dir_);
    }

    void TearDown() override {
        std::filesystem::current_path(previous_);
        // Tests may leave the directory or hyper.pad read-only.
        std::error_code ignored;
        std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, ignored);
        // Windows removes no read-only file.
        std::filesystem::permissions(dir_ / "hyper.pad", std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(dir_, ignored);
    }

    const std::filesystem::path& dir() const { return dir_; }

private:
    std::filesystem::path previous_;
    std::filesystem::path dir_;
};

#ifndef _WIN32
inline bool runningAsRoot() { return geteuid() == 0; }
#endif

inline std::vector<std::uint8_t> readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeAll(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}
