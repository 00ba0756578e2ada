// The window registry: each process of the user lists its top-level windows
// as files <root>/.platform/win/<pid>-<hwnd> holding the class and title,
// for FindWindow in other processes; a dead process's entries are removed
// by whoever meets them.
#include "ipc_shared.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace kp {
namespace {

// "<pid>-" of a registry entry name; 0 for anything else.
long EntryPid(const char* name, unsigned long long* hwnd) {
    char* end = nullptr;
    long pid = strtol(name, &end, 10);
    if (pid <= 0 || *end != '-') return 0;
    char* tail = nullptr;
    unsigned long long h = strtoull(end + 1, &tail, 16);
    if (*tail) return 0;  // ".tmp" and anything else that is not an entry
    if (hwnd) *hwnd = h;
    return pid;
}

bool Alive(long pid) { return pid > 0 && (kill((pid_t)pid, 0) == 0 || errno == EPERM); }

}  // namespace

void RemoveEntriesOf(const Path& winDir, long pid) {
    ForEachEntry(winDir.c_str(), [&](const char* name) {
        if (EntryPid(name, nullptr) != pid) return;
        Path entry = winDir;
        if (entry.Append("/") && entry.Append(name)) unlink(entry.c_str());
    });
}

void RemoveProcess(long pid) {
    Path sock, win;
    if (SockPath(pid, &sock)) unlink(sock.c_str());
    if (StateDir("win", &win)) RemoveEntriesOf(win, pid);
}

void IpcRegisterWindow(HWND hwnd, const std::wstring& cls, const std::wstring& title) {
    EnsureListening();
    Path entry, tmp;
    if (!StateDir("win", &entry) || !entry.Append("/") || !entry.AppendNumber((unsigned long long)getpid()) ||
        !entry.Append("-"))
        return;
    char hex[24];
    snprintf(hex, sizeof hex, "%llx", (unsigned long long)(uintptr_t)hwnd);
    if (!entry.Append(hex)) return;
    tmp = entry;
    if (!tmp.Append(".tmp")) return;
    std::string text = ToUtf8(cls.c_str()) + "\n" + ToUtf8(title.c_str()) + "\n";
    unlink(tmp.c_str());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return;
    bool ok = write(fd, text.data(), text.size()) == (ssize_t)text.size();
    close(fd);
    if (ok) rename(tmp.c_str(), entry.c_str());
    else unlink(tmp.c_str());
}

void IpcUnregisterWindow(HWND hwnd) {
    Path entry;
    char name[64];
    snprintf(name, sizeof name, "/%ld-%llx", (long)getpid(), (unsigned long long)(uintptr_t)hwnd);
    if (StateDir("win", &entry) && entry.Append(name)) unlink(entry.c_str());
}

bool IpcFind(const std::wstring* cls, const std::wstring* title, long* pid, uint64_t* hwnd) {
    Path win;
    if (!StateDir("win", &win)) return false;
    long self = (long)getpid();
    uid_t me = geteuid();
    // Root finds another user's service too: entry, process and socket
    // must then have one owner.
    bool anyOwner = me == 0;
    bool found = false;
    // Every entry is read; the dead processes' entries are removed after the
    // walk (RemoveProcess changes the folder), up to 64 at a time.
    long dead[64];
    int deadCount = 0;
    ForEachEntry(win.c_str(), [&](const char* name) {
        if (found) return;
        unsigned long long h = 0;
        long p = EntryPid(name, &h);
        if (p <= 0 || p == self) return;
        if (!Alive(p)) {
            if (deadCount < 64) dead[deadCount++] = p;
            return;
        }
        // Only a regular file of this user, for a process of this user, and
        // never a read that could block (a FIFO planted in the folder).
        Path entry = win;
        if (!entry.Append("/") || !entry.Append(name)) return;
        int fd = open(entry.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return;
        // The process must also listen: its socket is where a request goes.
        struct stat st, proc, sock;
        char procPath[64];
        snprintf(procPath, sizeof procPath, "/proc/%ld", p);
        Path sockPath;
        char text[1024];
        ssize_t n = -1;
        bool opened = fstat(fd, &st) == 0;
        uid_t owner = opened && anyOwner ? st.st_uid : me;
        if (opened && S_ISREG(st.st_mode) && st.st_uid == owner && stat(procPath, &proc) == 0 &&
            proc.st_uid == owner && SockPath(p, &sockPath) && lstat(sockPath.c_str(), &sock) == 0 &&
            S_ISSOCK(sock.st_mode) && sock.st_uid == owner)
            n = read(fd, text, sizeof text - 1);
        close(fd);
        if (n <= 0) return;
        text[n] = 0;
        char* c = text;
        char* t = strchr(c, '\n');
        if (!t) return;
        *t++ = 0;
        char* end = strchr(t, '\n');
        if (!end) return;
        *end = 0;
        if (cls && FromUtf8(c) != *cls) return;
        if (title && FromUtf8(t) != *title) return;
        *pid = p;
        *hwnd = h;
        found = true;
    });
    for (int i = 0; i < deadCount; ++i) RemoveProcess(dead[i]);
    return found;
}

}  // namespace kp
