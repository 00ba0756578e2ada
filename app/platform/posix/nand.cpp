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

// Opens the area, creating it blank the first time. The blank area is made
// whole under a temporary name, flushed, and only then linked in place, so
// that a crash or a full disk never leaves a short area behind.
int OpenArea(DWORD area) {
    kp::Path path, tmp;
    if (!AreaPath(area, &path) || !AreaPath(area, &tmp) || !tmp.Append(".new")) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int fd = kp::OpenRegular(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT) return fd;
    int t = kp::OpenRegular(tmp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
    if (t < 0) return -1;
    unsigned char blank[kAreaSize];
    memset(blank, 0xFF, sizeof blank);
    bool ok = kp::WriteAll(t, blank, sizeof blank);
    kp::FileStepDone();
#ifndef KESTA_PLATFORM_FAST
    ok = ok && fsync(t) == 0;
#endif
    close(t);
    // link() never replaces: an area another process made meanwhile stays.
    if (ok && link(tmp.c_str(), path.c_str()) != 0 && errno != EEXIST) ok = false;
    kp::FileStepDone();
    unlink(tmp.c_str());
    if (!ok) {
        errno = EIO;
        return -1;
    }
    return kp::OpenRegular(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
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
    if (n < 0) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    // An area cut short (by an older backend's crash) reads as blank where
    // it ends: a record wholly in what is there is kept, and one that could
    // not fit reads as no record.
    memset(data + n, 0xFF, sizeof data - (size_t)n);
    bool comm = false;
    kp::Path out;
    if (!kp::MapPath(L"\\NandArea_ReadData.bin", &out, &comm)) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    int o = kp::OpenRegular(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
    if (o < 0) {
        kp::SetErrno(errno);
        return FALSE;
    }
    bool ok = kp::WriteAll(o, data, sizeof data);
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
    int i = kp::OpenRegular(in.c_str(), O_RDONLY | O_CLOEXEC);
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
    kp::FileStepDone();
    close(fd);
    return ok ? TRUE : FALSE;
}
