// Files under the platform root, and the dispatch of handle I/O to the
// serial device.
#include "internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kp {

static bool PathExists(const char* p) {
    struct stat st;
    return lstat(p, &st) == 0;
}

// Flushes a folder, so that a rename in it survives a power cut.
static void FlushFolderOf(const Path& file) {
#ifdef KESTA_PLATFORM_FAST
    return;
#endif
    Path dir;
    const char* slash = strrchr(file.c_str(), '/');
    if (!slash || !dir.Append(file.c_str(), slash == file.c_str() ? 1 : (size_t)(slash - file.c_str()))) return;
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

bool WriteAll(int fd, const void* data, size_t n) {
    const char* p = (const char*)data;
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= (size_t)w;
    }
    return true;
}

int OpenRegular(const char* path, int flags, int mode) {
    int fd = open(path, flags | O_NONBLOCK, mode);
    if (fd < 0) {
        if (errno == ENXIO) errno = ENOENT;  // a FIFO nobody reads
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = ENOENT;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
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
    Path path;
    if (!MapPath(name, &path, &isComm)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    if (isComm) return OpenComm(path.c_str(), access, shareMode);

    // A file is written only where it stands: a symbolic link planted in its
    // place is refused, not followed to somewhere else.
    int flags = O_CLOEXEC | (access & GENERIC_WRITE ? O_NOFOLLOW : 0);
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
    bool existed = PathExists(path.c_str());
    int fd = OpenRegular(path.c_str(), flags);
    if (fd < 0) {
        int e = errno;
        if (e == ENOENT && disposition != OPEN_EXISTING && disposition != TRUNCATE_EXISTING)
            SetLastError(ERROR_PATH_NOT_FOUND);  // the folder is missing
        else
            SetErrno(e);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = AddFileHandle(fd);
    if (!h) {
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    FileStepDone();
    bool reportsExisting = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
    SetLastError(reportsExisting && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, DWORD* read, OVERLAPPED* ov) {
    BOOL result;
    if (CommRead(file, buffer, toRead, read, ov, &result)) return result;
    if (read) *read = 0;
    int fd = FileDescriptor(file);
    if (fd < 0 || (!buffer && toRead)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    DWORD total = 0;
    while (total < toRead) {
        ssize_t n = ::read(fd, (char*)buffer + total, toRead - total);
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
    int fd = FileDescriptor(file);
    if (fd < 0 || (!buffer && toWrite)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    DWORD total = 0;
    while (total < toWrite) {
        ssize_t n = ::write(fd, (const char*)buffer + total, toWrite - total);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            SetErrno(n < 0 ? errno : EIO);
            if (written) *written = total;
            return FALSE;
        }
        total += (DWORD)n;
    }
    if (written) *written = total;
    FileStepDone();
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
    int fd = FileDescriptor(file);
    if (fd < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
#ifndef KESTA_PLATFORM_FAST  // the fuzzing build does without the disk's pace
    if (fsync(fd) != 0) {
        SetErrno(errno);
        return FALSE;
    }
#endif
    FileStepDone();
    return TRUE;
}

BOOL DeleteFile(LPCWSTR name) {
    bool isComm = false;
    Path path;
    if (!MapPath(name, &path, &isComm) || isComm || unlink(path.c_str()) != 0) {
        SetErrno(isComm ? EACCES : errno);
        return FALSE;
    }
    FileStepDone();
    return TRUE;
}

BOOL MoveFile(LPCWSTR existing, LPCWSTR target) {
    bool c1 = false, c2 = false;
    Path from, to;
    if (!MapPath(existing, &from, &c1) || !MapPath(target, &to, &c2) || c1 || c2) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // An existing target makes the move fail, checked by the kernel in the
    // same step as the rename where the file system can (not every one
    // knows RENAME_NOREPLACE).
    int moved = renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
    if (moved != 0 && errno == EINVAL) {
        if (PathExists(to.c_str())) errno = EEXIST;
        else moved = rename(from.c_str(), to.c_str());
    }
    if (moved != 0) {
        if (errno == EEXIST) SetLastError(ERROR_ALREADY_EXISTS);
        else SetErrno(errno);
        return FALSE;
    }
    FileStepDone();
    // The rename is in the folder's data: flushed, it survives a power cut.
    FlushFolderOf(to);
    FileStepDone();
    return TRUE;
}
