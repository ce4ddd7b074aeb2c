// Runs a fuzz target over its committed corpus as an ordinary test, so that
// every input that once broke something is tried again by every build.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

TEST(FuzzCorpus, EveryInputKeepsItsProperties) {
    std::vector<std::filesystem::path> inputs;
    for (const auto& entry : std::filesystem::directory_iterator(FUZZ_CORPUS_DIR))
        if (entry.is_regular_file()) inputs.push_back(entry.path());
    std::sort(inputs.begin(), inputs.end());
    ASSERT_FALSE(inputs.empty()) << "no corpus in " << FUZZ_CORPUS_DIR;

    // A target may send standard output away; the test's report needs it back.
    std::fflush(stdout);
    const int savedStdout = dup(1);
    if (LLVMFuzzerInitialize != nullptr) {
        int argc = 0;
        char** argv = nullptr;
        LLVMFuzzerInitialize(&argc, &argv);
    }
    for (const auto& path : inputs) {
        std::ifstream file(path, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        // On a violated property the target aborts; this names the input.
        std::fprintf(stderr, "input %s\n", path.filename().c_str());
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    std::fflush(stdout);
    dup2(savedStdout, 1);
    close(savedStdout);
}
