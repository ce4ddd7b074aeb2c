// Files through CreateFileA, ReadFile and WriteFile.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/file_handle.h"
#include "platform/win32/system_error.h"

namespace platform {

struct File {
    HANDLE handle;
};

namespace {

bool invalidHandle() {
    setLastError(ERROR_INVALID_HANDLE);
    return false;
}

}  // namespace

HANDLE fileHandleOf(FileHandle file) { return file == kInvalidFile ? INVALID_HANDLE_VALUE : file->handle; }

FileHandle openFileForReading(const char* path) {
    // Without FILE_FLAG_BACKUP_SEMANTICS a directory does not open at all.
    // Sharing deletion as POSIX does: a run ended by Ctrl-C removes the
    // hyper.pad it is still sending (it goes when the handle does).
    HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        failWithSystemError();
        return kInvalidFile;
    }
    // Names such as COM1, CON or NUL, and pipes, open as well: only a file on a
    // disk holds an image.
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        setLastError(ERROR_BAD_FILE_TYPE);
        return kInvalidFile;
    }
    return new File{handle};
}

bool fileSize(FileHandle file, std::uint64_t& size) {
    if (file == kInvalidFile) return invalidHandle();
    LARGE_INTEGER value;
    if (!GetFileSizeEx(file->handle, &value)) return failWithSystemError();
    size = static_cast<std::uint64_t>(value.QuadPart);
    return true;
}

bool readFile(FileHandle file, void* buffer, std::uint32_t size, std::uint32_t& received) {
    received = 0;
    if (file == kInvalidFile) return invalidHandle();
    DWORD count = 0;
    BOOL ok = ReadFile(file->handle, buffer, size, &count, nullptr);
    received = count;
    return ok || failWithSystemError();
}

FileHandle createFileAnew(const char* path) {
    // Removing the old entry first means a symbolic link, junction or hard link
    // standing there loses only its name; CREATE_NEW then refuses anything that
    // appears under the name in between, and FILE_FLAG_OPEN_REPARSE_POINT keeps
    // the open from following a reparse point.
    BOOL deleted = DeleteFileA(path);
    DWORD deleteError = deleted ? ERROR_SUCCESS : GetLastError();
    HANDLE handle = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        // "File exists" after a failed removal: the removal's reason is the one to tell.
        DWORD createError = GetLastError();
        setLastError(createError == ERROR_FILE_EXISTS && deleteError != ERROR_SUCCESS ? deleteError : createError);
        return kInvalidFile;
    }
    return new File{handle};
}

bool writeFile(FileHandle file, const void* data, std::uint32_t size) {
    if (file == kInvalidFile) return invalidHandle();
    const char* next = static_cast<const char*>(data);
    std::uint32_t remaining = size;
    do {
        DWORD count = 0;
        if (!WriteFile(file->handle, next, remaining, &count, nullptr)) return failWithSystemError();
        // A disk write that takes nothing and reports no error would loop for ever.
        if (count == 0 && remaining > 0) {
            setLastError(ERROR_WRITE_FAULT);
            return false;
        }
        next += count;
        remaining -= count;
    } while (remaining > 0);
    return true;
}

bool syncFile(FileHandle file) {
    if (file == kInvalidFile) return invalidHandle();
    return FlushFileBuffers(file->handle) || failWithSystemError();
}

// A file written is opened without FILE_SHARE_DELETE: nobody can remove it while it is open.
bool fileRemoved(FileHandle) { return false; }

void closeFile(FileHandle file) {
    if (file == kInvalidFile) return;
    CloseHandle(file->handle);
    delete file;
}

bool deleteFile(const char* path) { return DeleteFileA(path) || failWithSystemError(); }

}  // namespace platform
