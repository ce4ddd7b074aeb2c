// Files on POSIX descriptors.
#include "platform/platform.h"
#include "platform/posix/file_descriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

namespace platform {

// The packing reader takes a file one byte per call; a small read-ahead spares
// it a system call per byte, which would cost more processor time than the
// whole rest of a transfer.
constexpr std::uint32_t kReadAheadBytes = 16384;

struct File {
    int fd;
    std::uint32_t aheadStart = 0;  // bytes of `ahead` not yet handed out
    std::uint32_t aheadEnd = 0;
    unsigned char ahead[kReadAheadBytes];
};

namespace {

bool failWith(int code) {
    setLastError(static_cast<std::uint32_t>(code));
    return false;
}

FileHandle wrap(int fd) {
    File* file = new (std::nothrow) File;
    if (file == nullptr) {
        close(fd);
        failWith(ENOMEM);
        return kInvalidFile;
    }
    file->fd = fd;
    return file;
}

FileHandle closeAndFail(int fd, int code) {
    close(fd);
    failWith(code);
    return kInvalidFile;
}

}  // namespace

FileHandle openFileForReading(const char* path) {
    // Non-blocking only for the open itself: a FIFO without a writer would
    // otherwise hold the program before it could be refused.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        failWith(errno);
        return kInvalidFile;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0) return closeAndFail(fd, errno);
    if (S_ISDIR(status.st_mode)) return closeAndFail(fd, EISDIR);
    if (!S_ISREG(status.st_mode)) return closeAndFail(fd, EINVAL);
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return closeAndFail(fd, errno);
#if defined(POSIX_FADV_SEQUENTIAL)
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);  // a hint: its failure changes nothing
#endif
    return wrap(fd);
}

bool fileSize(FileHandle file, std::uint64_t& size) {
    if (file == kInvalidFile) return failWith(EBADF);
    struct stat status {};
    if (fstat(file->fd, &status) != 0) return failWith(errno);
    size = static_cast<std::uint64_t>(status.st_size);
    return true;
}

namespace {

// One read(2) of up to `size` bytes; 0 at the end of the file, -1 on failure.
ssize_t readOnce(int fd, unsigned char* into, std::uint32_t size) {
    for (;;) {
        const ssize_t got = read(fd, into, size);
        if (got >= 0 || errno != EINTR) return got;
    }
}

}  // namespace

bool readFile(FileHandle file, void* buffer, std::uint32_t size, std::uint32_t& received) {
    received = 0;
    if (file == kInvalidFile) return failWith(EBADF);
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (received < size) {
        if (file->aheadStart < file->aheadEnd) {
            const std::uint32_t take = std::min(size - received, file->aheadEnd - file->aheadStart);
            std::memcpy(bytes + received, file->ahead + file->aheadStart, take);
            file->aheadStart += take;
            received += take;
            continue;
        }
        const std::uint32_t wanted = size - received;
        // Large reads go straight to the caller's buffer; small ones fill the read-ahead.
        const bool direct = wanted >= kReadAheadBytes;
        const ssize_t got = direct ? readOnce(file->fd, bytes + received, wanted)
                                   : readOnce(file->fd, file->ahead, kReadAheadBytes);
        if (got < 0) return failWith(errno);
        if (got == 0) break;  // end of file
        if (direct) {
            received += static_cast<std::uint32_t>(got);
        } else {
            file->aheadStart = 0;
            file->aheadEnd = static_cast<std::uint32_t>(got);
        }
    }
    return true;
}

namespace {

// The system's memory devices (null, zero, full, ...), as sysfs names their
// class: read from there, so that no device is opened to find out.
bool isMemoryDevice(dev_t device) {
    char link[64];
    std::snprintf(link, sizeof link, "/sys/dev/char/%u:%u/subsystem", static_cast<unsigned>(major(device)),
                  static_cast<unsigned>(minor(device)));
    char target[PATH_MAX];
    const ssize_t length = readlink(link, target, sizeof target - 1);
    if (length <= 0) return false;
    target[length] = '\0';
    const char* name = std::strrchr(target, '/');
    return std::strcmp(name != nullptr ? name + 1 : target, "mem") == 0;
}

}  // namespace

FileHandle createFileAnew(const char* path) {
    // A read-only file says "do not overwrite me"; removing it would go around
    // that, as the directory alone decides whether unlink is allowed.
    struct stat status {};
    if (lstat(path, &status) == 0 && S_ISREG(status.st_mode) && (status.st_mode & S_IWUSR) == 0) {
        failWith(EACCES);
        return kInvalidFile;
    }
    // A device is never removed: as root that would take /dev/null or a disk
    // from the system. The ones that take data and give nothing back (null,
    // full) are written in place; any other, a terminal above all, is refused
    // without being opened.
    if (lstat(path, &status) == 0 && !S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode)) {
        if (!S_ISCHR(status.st_mode) || !isMemoryDevice(status.st_rdev)) {
            failWith(S_ISDIR(status.st_mode) ? EISDIR : EPERM);
            return kInvalidFile;
        }
        const int fd = open(path, O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            failWith(errno);
            return kInvalidFile;
        }
        return wrap(fd);
    }
    // Removing the name first means a symbolic link is never followed and a
    // hard link's other names keep their content.
    if (unlink(path) != 0 && errno != ENOENT) {
        failWith(errno);
        return kInvalidFile;
    }
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        failWith(errno);
        return kInvalidFile;
    }
    return wrap(fd);
}

int descriptorOf(FileHandle file) { return file == kInvalidFile ? -1 : file->fd; }

bool writeFile(FileHandle file, const void* data, std::uint32_t size) {
    if (file == kInvalidFile) return failWith(EBADF);
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::uint32_t written = 0;
    while (written < size) {
        const ssize_t put = write(file->fd, bytes + written, size - written);
        if (put > 0) {
            written += static_cast<std::uint32_t>(put);
        } else if (put == 0) {
            return failWith(ENOSPC);  // a regular file that takes nothing is full
        } else if (errno != EINTR) {
            return failWith(errno);
        }
    }
    return true;
}

bool syncFile(FileHandle file) {
    if (file == kInvalidFile) return failWith(EBADF);
    // A device such as /dev/null has nothing to sync and says so.
    if (fdatasync(file->fd) != 0 && errno != EINVAL && errno != EROFS) return failWith(errno);
    return true;
}

bool fileRemoved(FileHandle file) {
    struct stat status {};
    return file != kInvalidFile && fstat(file->fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_nlink == 0;
}

void closeFile(FileHandle file) {
    if (file == kInvalidFile) return;
    const std::uint32_t keptError = lastError();
    close(file->fd);
    delete file;
    setLastError(keptError);
}

bool deleteFile(const char* path) { return unlink(path) == 0 || failWith(errno); }

}  // namespace platform
