// Paths: the platform root, the backend's private state folders under it,
// and the device's names ("\\A\\B", "COMn:") mapped to this machine's.
#include "internal.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kp {

bool Path::Append(const char* text, size_t len) {
    if (len >= kCapacity - n) return false;
    memcpy(s + n, text, len);
    n += len;
    s[n] = 0;
    return true;
}

bool Path::AppendNumber(unsigned long long v) {
    char digits[24];
    int at = (int)sizeof digits;
    do {
        digits[--at] = (char)('0' + v % 10);
        v /= 10;
    } while (v);
    return Append(digits + at, sizeof digits - (size_t)at);
}

bool RootPath(Path* out) {
    const char* r = getenv("KESTA_GPS_ROOT");
    out->n = 0;
    out->s[0] = 0;
    if (!out->Append((r && *r) ? r : "/var/lib/kesta-gps")) return false;
    while (out->n > 1 && out->s[out->n - 1] == '/') out->s[--out->n] = 0;
    return true;
}

// Makes a folder of the backend's state, or takes back one that other users
// could reach: whatever the umask, nobody else may lock, read or send there.
// On .platform the group's search right stays: the service gives it to its
// listener group, to reach the listeners' folder and no other.
// The mode is changed through a descriptor of the folder itself: a link in
// its place is never followed.
static void MakePrivateDir(const char* dir, mode_t keep = 0700) {
    if (mkdir(dir, 0700) == 0 || errno != EEXIST) return;
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) == 0 && (st.st_mode & 07777 & ~keep) && st.st_uid == geteuid()) fchmod(fd, st.st_mode & keep);
    close(fd);
}

bool StateDir(const char* sub, Path* out) {
    // The root is the device's "\\": it always exists there, so it is made
    // here when missing (its sub-folders, such as DataStorage, are not).
    if (!RootPath(out)) return false;
    for (size_t at = 1; at < out->n; ++at) {
        if (out->s[at] != '/') continue;
        out->s[at] = 0;
        mkdir(out->s, 0755);
        out->s[at] = '/';
    }
    mkdir(out->s, 0755);
    if (!out->Append("/.platform")) return false;
    MakePrivateDir(out->s, 0710);
    if (sub && *sub) {
        if (!out->Append("/") || !out->Append(sub)) return false;
        MakePrivateDir(out->s);
    }
    return true;
}

bool MapPath(LPCWSTR name, Path* out, bool* isComm) {
    *isComm = false;
    char n[Path::kCapacity];
    size_t len = ToUtf8(name, n, sizeof n);
    // "COMn:" names the serial device n; its device node comes from the
    // environment (KESTA_GPS_COMn), COM1 defaulting to /dev/ttyS0.
    if (len >= 5 && len <= 12 && memcmp(n, "COM", 3) == 0 && n[len - 1] == ':') {
        size_t digits = 3;
        while (digits < len - 1 && n[digits] >= '0' && n[digits] <= '9') ++digits;
        if (digits == len - 1) {
            *isComm = true;
            char var[32] = "KESTA_GPS_";
            memcpy(var + 10, n, len - 1);
            var[10 + len - 1] = 0;
            const char* dev = getenv(var);
            out->n = 0;
            out->s[0] = 0;
            if (dev && *dev) return out->Append(dev);
            long idx = atol(n + 3);
            return out->Append("/dev/ttyS") && out->AppendNumber(idx > 0 ? (unsigned long long)idx - 1 : 0);
        }
    }
    if (!RootPath(out)) return false;
    if (len == 0 || n[0] != '\\') {
        if (!out->Append("/")) return false;
    }
    size_t at = out->n;
    if (!out->Append(n, len)) return false;
    for (char* c = out->s + at; *c; ++c)
        if (*c == '\\') *c = '/';
    return true;
}

}  // namespace kp
