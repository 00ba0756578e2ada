// IOControl's NAND areas: each area is a file of a fixed size under the
// platform root, blank (0xFF) when new. The exchange files sit in the root,
// and both calls have finished with them when they return.
#include "internal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

const size_t kAreaSize = 4096;
const DWORD kAreaCount = 16;

bool AreaPath(DWORD area, kp::Path* path) {
    return kp::StateDir("nand", path) && path->Append("/area") && path->AppendNumber(area) && path->Append(".bin");
}

// Opens the area, creating it blank the first time.
int OpenArea(DWORD area) {
    kp::Path path;
    if (!AreaPath(area, &path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);  // lost a race
    unsigned char blank[kAreaSize];
    memset(blank, 0xFF, sizeof blank);
    if (write(fd, blank, sizeof blank) != (ssize_t)sizeof blank) {
        close(fd);
        return -1;
    }
    return fd;
}

bool WriteAll(int fd, const unsigned char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= (size_t)w;
    }
    return true;
}

}  // namespace

BOOL ReadNandArea(DWORD area) {
    if (area >= kAreaCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int fd = OpenArea(area);
    if (fd < 0) {
        kp::SetErrno(errno);
        return FALSE;
    }
    unsigned char data[kAreaSize];
    ssize_t n = pread(fd, data, sizeof data, 0);
    close(fd);
    if (n != (ssize_t)kAreaSize) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    bool comm = false;
    kp::Path out;
    if (!kp::MapPath(L"\\NandArea_ReadData.bin", &out, &comm)) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (o < 0) {
        kp::SetErrno(errno);
        return FALSE;
    }
    bool ok = WriteAll(o, data, sizeof data);
    close(o);
    return ok ? TRUE : FALSE;
}

BOOL WriteNandArea(DWORD area) {
    if (area >= kAreaCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    bool comm = false;
    kp::Path in;
    if (!kp::MapPath(L"\\NandArea_WriteData.bin", &in, &comm)) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    int i = open(in.c_str(), O_RDONLY | O_CLOEXEC);
    if (i < 0) {
        kp::SetErrno(errno);
        return FALSE;
    }
    unsigned char data[kAreaSize];
    ssize_t n = read(i, data, sizeof data);
    close(i);
    if (n < 0) {
        kp::SetErrno(errno);
        return FALSE;
    }
    int fd = OpenArea(area);
    if (fd < 0) {
        kp::SetErrno(errno);
        return FALSE;
    }
    // The file's bytes replace the start of the area; the rest is kept.
#ifdef KESTA_PLATFORM_FAST
    bool ok = pwrite(fd, data, (size_t)n, 0) == n;
#else
    bool ok = pwrite(fd, data, (size_t)n, 0) == n && fsync(fd) == 0;
#endif
    close(fd);
    return ok ? TRUE : FALSE;
}
