#include "trace/console_capture.h"

#include <cstdio>

#if defined(__GLIBC__)
#include <unistd.h>

#include <cerrno>
#endif

namespace trace {

#if defined(__GLIBC__)
namespace {

FILE* originalOut = nullptr;
FILE* originalErr = nullptr;
ConsoleSink consoleSink = nullptr;

template <int Descriptor>
ssize_t passOn(void*, const char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t put = ::write(Descriptor, data + done, size - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) break;
        done += static_cast<std::size_t>(put);
    }
    if (consoleSink != nullptr) consoleSink(Descriptor == STDOUT_FILENO ? "stdout" : "stderr", data, done);
    return done > 0 ? static_cast<ssize_t>(done) : (size == 0 ? 0 : -1);
}

FILE* watchedStream(cookie_write_function_t* write) {
    cookie_io_functions_t functions{};
    functions.write = write;
    FILE* stream = fopencookie(nullptr, "w", functions);
    if (stream != nullptr) std::setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

}  // namespace

bool watchConsole(ConsoleSink sink) {
    if (originalOut != nullptr) return false;
    FILE* out = watchedStream(passOn<STDOUT_FILENO>);
    FILE* err = watchedStream(passOn<STDERR_FILENO>);
    if (out == nullptr || err == nullptr) {
        if (out != nullptr) std::fclose(out);
        if (err != nullptr) std::fclose(err);
        return false;
    }
    consoleSink = sink;
    originalOut = stdout;
    originalErr = stderr;
    stdout = out;
    stderr = err;
    return true;
}

void unwatchConsole() {
    if (originalOut == nullptr) return;
    FILE* out = stdout;
    FILE* err = stderr;
    stdout = originalOut;
    stderr = originalErr;
    originalOut = originalErr = nullptr;
    consoleSink = nullptr;
    std::fclose(out);
    std::fclose(err);
}
#else
bool watchConsole(ConsoleSink) { return false; }
void unwatchConsole() {}
#endif

}  // namespace trace
