#include "trace/console_capture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

std::string copiedOut;
std::string copiedErr;

void record(const char* stream, const char* data, std::size_t size) {
    const std::string name = stream;
    (name == "stdout" ? copiedOut : copiedErr).append(data, size);
}

// Descriptors 1 and 2 lead into one file for the test's span, so that what
// reached them can be read back.
struct ConsoleIntoFile {
    std::FILE* file = std::tmpfile();
    int savedOut = dup(STDOUT_FILENO);
    int savedErr = dup(STDERR_FILENO);
    ConsoleIntoFile() {
        dup2(fileno(file), STDOUT_FILENO);
        dup2(fileno(file), STDERR_FILENO);
    }
    std::string restoreAndRead() {
        dup2(savedOut, STDOUT_FILENO);
        dup2(savedErr, STDERR_FILENO);
        close(savedOut);
        close(savedErr);
        std::string text(4096, '\0');
        std::rewind(file);
        text.resize(std::fread(text.data(), 1, text.size(), file));
        std::fclose(file);
        return text;
    }
};

TEST(ConsoleCapture, EachPieceReachesItsDescriptorAndTheSinkAndTheStreamsComeBack) {
    copiedOut.clear();
    copiedErr.clear();
    FILE* const programOut = stdout;
    FILE* const programErr = stderr;
    ConsoleIntoFile console;
    ASSERT_NE(console.file, nullptr);

    ASSERT_TRUE(trace::watchConsole(record));
    EXPECT_NE(stdout, programOut);
    // A second capture would lose the program's own streams: refused.
    EXPECT_FALSE(trace::watchConsole(record));
    std::fputs("Sending file\n", stdout);
    std::fprintf(stderr, "Fatal error %u. Abort!\n", 7u);
    std::fputs("50%", stdout);  // unbuffered: no line end needed
    trace::unwatchConsole();
    std::fputs("after\n", stdout);
    std::fflush(stdout);
    const std::string reached = console.restoreAndRead();

    EXPECT_EQ(stdout, programOut);
    EXPECT_EQ(stderr, programErr);
    EXPECT_EQ(copiedOut, "Sending file\n50%");
    EXPECT_EQ(copiedErr, "Fatal error 7. Abort!\n");
    EXPECT_EQ(reached, "Sending file\nFatal error 7. Abort!\n50%after\n");
    trace::unwatchConsole();  // nothing watched: nothing happens
    EXPECT_EQ(stdout, programOut);
}

}  // namespace
