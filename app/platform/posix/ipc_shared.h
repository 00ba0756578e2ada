// What the cross-process files of the POSIX backend share: the packet on
// the wire, the folders' entries, the sockets' paths, and the steps one
// file takes for another.
#ifndef KESTA_PLATFORM_POSIX_IPC_SHARED_H
#define KESTA_PLATFORM_POSIX_IPC_SHARED_H

#include "internal.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

// A 32-bit build without large-file support gets EOVERFLOW from folder
// listings on a 64-bit file system and would see no listener at all.
static_assert(sizeof(off_t) >= 8, "build with -D_FILE_OFFSET_BITS=64");

namespace kp {

const uint32_t kMagic = 0x4B475053;  // "KGPS"

struct Packet {
    uint32_t magic;
    uint32_t kind;
    uint64_t hwnd;
    uint32_t msg;
    uint32_t pad;  // a broadcast: when it was sent (listeners.cpp)
    uint64_t wParam;
    int64_t lParam;
};

// Calls found(name) for every entry of a folder, without the heap that
// opendir takes: the entries are read straight into a buffer on the stack.
template <class F>
inline void ForEachEntry(const char* dir, F found) {
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    alignas(8) char buf[4096];
    for (;;) {
        long n = syscall(SYS_getdents64, fd, buf, sizeof buf);
        if (n <= 0) break;
        for (long at = 0; at < n;) {
            // struct linux_dirent64: ino (8), off (8), reclen (2), type (1), name.
            unsigned short reclen;
            memcpy(&reclen, buf + at + 16, sizeof reclen);
            const char* name = buf + at + 19;
            if (name[0] != '.') found(name);
            at += reclen;
        }
    }
    close(fd);
}

// Where process `pid` of this user listens: <root>/.platform/ipc/<pid>.sock.
bool SockPath(long pid, Path* out);
bool Address(const Path& path, sockaddr_un* addr);
// Binds this process's socket the first time it owns a top-level window.
void EnsureListening();
// Binds it again when it went with its folder.
void RebindIfGone();
// Removes a gone process's socket and registry entries.
void RemoveProcess(long pid);
// Removes process `pid`'s entries from the registry folder `winDir`.
void RemoveEntriesOf(const Path& winDir, long pid);
// Changes a folder's group (unless gid is -1) and mode through a descriptor
// that names the folder itself, never a link's target; only a folder of
// this user. openat's `at` and `name`.
bool SetFolderMode(int at, const char* name, gid_t gid, mode_t mode);
// Binds the listener group's socket and starts taking its connections.
bool GroupListen(gid_t gid, char* why, size_t whySize);

}  // namespace kp

#endif
