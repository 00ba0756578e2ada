// Files under the platform root, and the dispatch of handle I/O to the
// serial device.
#include "internal.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kp {

struct FileObj : Object {
    int fd = -1;
    ~FileObj() override {
        if (fd >= 0) close(fd);
    }
};

// Implemented in serial.cpp.
bool CommRead(HANDLE h, void* buf, DWORD n, DWORD* got, OVERLAPPED* ov, BOOL* result);
bool CommWrite(HANDLE h, const void* buf, DWORD n, DWORD* put, OVERLAPPED* ov, BOOL* result);

static bool access_path_exists(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

}  // namespace kp

using namespace kp;

HANDLE CreateFile(LPCWSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                  DWORD disposition, DWORD, HANDLE) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    bool isComm = false;
    std::string path = MapPath(name, &isComm);
    if (isComm) return OpenComm(path, access, shareMode);

    int flags = O_CLOEXEC;
    if ((access & GENERIC_READ) && (access & GENERIC_WRITE)) flags |= O_RDWR;
    else if (access & GENERIC_WRITE) flags |= O_WRONLY;
    else flags |= O_RDONLY;
    switch (disposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case TRUNCATE_EXISTING: flags |= O_TRUNC; break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
    }
    // Share modes are not enforced on regular files here: the service never
    // opens one file twice at once.
    bool existed = access_path_exists(path);
    int fd = open(path.c_str(), flags, 0644);
    if (fd < 0) {
        int e = errno;
        if (e == ENOENT && disposition != OPEN_EXISTING && disposition != TRUNCATE_EXISTING)
            SetLastError(ERROR_PATH_NOT_FOUND);  // the folder is missing
        else
            SetErrno(e);
        return INVALID_HANDLE_VALUE;
    }
    auto obj = std::make_shared<FileObj>();
    obj->fd = fd;
    HANDLE h = AddHandle(obj);
    bool reportsExisting = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
    SetLastError(reportsExisting && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, DWORD* read, OVERLAPPED* ov) {
    BOOL result;
    if (CommRead(file, buffer, toRead, read, ov, &result)) return result;
    if (read) *read = 0;
    auto f = Get<FileObj>(file);
    if (!f || (!buffer && toRead)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    DWORD total = 0;
    while (total < toRead) {
        ssize_t n = ::read(f->fd, (char*)buffer + total, toRead - total);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            SetErrno(errno);
            if (read) *read = total;
            return FALSE;
        }
        if (n == 0) break;
        total += (DWORD)n;
    }
    if (read) *read = total;
    return TRUE;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* ov) {
    BOOL result;
    if (CommWrite(file, buffer, toWrite, written, ov, &result)) return result;
    if (written) *written = 0;
    auto f = Get<FileObj>(file);
    if (!f || (!buffer && toWrite)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    DWORD total = 0;
    while (total < toWrite) {
        ssize_t n = ::write(f->fd, (const char*)buffer + total, toWrite - total);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            SetErrno(n < 0 ? errno : EIO);
            if (written) *written = total;
            return FALSE;
        }
        total += (DWORD)n;
    }
    if (written) *written = total;
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
    auto f = Get<FileObj>(file);
    if (!f) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (fsync(f->fd) != 0) {
        SetErrno(errno);
        return FALSE;
    }
    return TRUE;
}

BOOL DeleteFile(LPCWSTR name) {
    bool isComm = false;
    std::string path = MapPath(name, &isComm);
    if (isComm || unlink(path.c_str()) != 0) {
        SetErrno(isComm ? EACCES : errno);
        return FALSE;
    }
    return TRUE;
}

BOOL MoveFileEx(LPCWSTR existing, LPCWSTR target, DWORD flags) {
    bool c1 = false, c2 = false;
    std::string from = MapPath(existing, &c1), to = MapPath(target, &c2);
    if (c1 || c2) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!(flags & MOVEFILE_REPLACE_EXISTING) && access_path_exists(to)) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    // rename() replaces the target in one step: a reader sees the old file
    // or the new one, never neither.
    if (rename(from.c_str(), to.c_str()) != 0) {
        SetErrno(errno);
        return FALSE;
    }
    return TRUE;
}
