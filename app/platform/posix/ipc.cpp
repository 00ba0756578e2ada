// The cross-process side of windows and messages, without a daemon: every
// process that owns a top-level window binds one datagram socket at
// <root>/.platform/ipc/<pid>.sock and lists its top-level windows as files
// <root>/.platform/win/<pid>-<hwnd>. A broadcast is one non-blocking datagram
// to every socket; a socket nobody listens on any more is removed by the
// first sender that meets it, so a dead listener never blocks or slows a
// sender.
#include "internal.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <cstring>
#include <thread>
#include <vector>
#include <unistd.h>

// A 32-bit readdir without large-file support fails with EOVERFLOW on a
// 64-bit file system and would end every registry scan at once.
static_assert(sizeof(off_t) >= 8, "build with -D_FILE_OFFSET_BITS=64");

namespace kp {
namespace {

const uint32_t kMagic = 0x4B475053;  // "KGPS"

struct Packet {
    uint32_t magic;
    uint32_t kind;
    uint64_t hwnd;
    uint32_t msg;
    uint32_t pad;
    uint64_t wParam;
    int64_t lParam;
};

std::mutex g_m;
int g_recvFd = -1;
int g_sendFd = -1;
std::string g_sockPath;       // where this process listens
std::string g_winDir;         // where its window entries are

std::string SockPath(const std::string& ipcDir, long pid) {
    return ipcDir + "/" + std::to_string(pid) + ".sock";
}

std::string WinEntry(const std::string& winDir, long pid, uint64_t hwnd) {
    char name[64];
    snprintf(name, sizeof name, "/%ld-%llx", pid, (unsigned long long)hwnd);
    return winDir + name;
}

void RemoveProcess(long pid) {
    std::string ipc = StateDir("ipc"), win = StateDir("win");
    unlink(SockPath(ipc, pid).c_str());
    std::string prefix = std::to_string(pid) + "-";
    if (DIR* d = opendir(win.c_str())) {
        while (dirent* e = readdir(d))
            if (strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0) unlink((win + "/" + e->d_name).c_str());
        closedir(d);
    }
}

void CleanupAtExit() {
    std::lock_guard<std::mutex> lock(g_m);
    if (g_sockPath.empty()) return;
    unlink(g_sockPath.c_str());
    std::string prefix = std::to_string((long)getpid()) + "-";
    if (DIR* d = opendir(g_winDir.c_str())) {
        while (dirent* e = readdir(d))
            if (strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0) unlink((g_winDir + "/" + e->d_name).c_str());
        closedir(d);
    }
}

void ReceiveLoop(int fd) {
    for (;;) {
        Packet p;
        ssize_t n = recv(fd, &p, sizeof p, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return;
        if (n != (ssize_t)sizeof p || p.magic != kMagic) continue;
        if (p.kind == IPC_POST) {
            if (p.hwnd == 0xFFFF)
                PostToLocalTopLevel(p.msg, (WPARAM)p.wParam, (LPARAM)p.lParam);
            else
                PostMessage((HWND)(uintptr_t)p.hwnd, p.msg, (WPARAM)p.wParam, (LPARAM)p.lParam);
        } else if (p.kind == IPC_DESTROY) {
            PostDestroyRequest((HWND)(uintptr_t)p.hwnd);
        }
    }
}

// Binds this process's socket the first time it owns a top-level window.
void EnsureListening() {
    std::lock_guard<std::mutex> lock(g_m);
    if (g_recvFd >= 0) return;
    std::string path = SockPath(StateDir("ipc"), (long)getpid());
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        fprintf(stderr, "platform: socket path too long: %s\n", path.c_str());
        return;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    unlink(path.c_str());
    if (bind(fd, (sockaddr*)&addr, sizeof addr) != 0) {
        close(fd);
        return;
    }
    g_recvFd = fd;
    g_sockPath = path;
    g_winDir = StateDir("win");
    atexit(CleanupAtExit);
    std::thread(ReceiveLoop, fd).detach();
}

bool Alive(long pid) { return pid > 0 && (kill((pid_t)pid, 0) == 0 || errno == EPERM); }

}  // namespace

void IpcRegisterWindow(HWND hwnd, const std::wstring& cls, const std::wstring& title) {
    EnsureListening();
    std::string win = StateDir("win");
    std::string entry = WinEntry(win, (long)getpid(), (uint64_t)(uintptr_t)hwnd);
    std::string tmp = entry + ".tmp";
    FILE* f = fopen(tmp.c_str(), "w");
    if (!f) return;
    fprintf(f, "%s\n%s\n", ToUtf8(cls.c_str()).c_str(), ToUtf8(title.c_str()).c_str());
    fclose(f);
    rename(tmp.c_str(), entry.c_str());
}

void IpcUnregisterWindow(HWND hwnd) {
    unlink(WinEntry(StateDir("win"), (long)getpid(), (uint64_t)(uintptr_t)hwnd).c_str());
}

bool IpcSend(long pid, uint64_t hwnd, IpcKind kind, UINT msg, WPARAM wParam, LPARAM lParam) {
    std::string path = SockPath(StateDir("ipc"), pid);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return false;
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd;
    {
        std::lock_guard<std::mutex> lock(g_m);
        if (g_sendFd < 0) g_sendFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        fd = g_sendFd;
    }
    if (fd < 0) return false;
    Packet p = {kMagic, (uint32_t)kind, hwnd, msg, 0, (uint64_t)wParam, (int64_t)lParam};
    ssize_t n = sendto(fd, &p, sizeof p, MSG_DONTWAIT | MSG_NOSIGNAL, (sockaddr*)&addr, sizeof addr);
    if (n == (ssize_t)sizeof p) return true;
    // Nobody bound there any more: the listener is gone. A full queue
    // (EAGAIN) only drops this one message.
    if (errno == ECONNREFUSED || errno == ENOENT) RemoveProcess(pid);
    return false;
}

void IpcBroadcast(UINT msg, WPARAM wParam, LPARAM lParam) {
    std::string ipc = StateDir("ipc");
    long self = (long)getpid();
    std::vector<long> pids;
    if (DIR* d = opendir(ipc.c_str())) {
        while (dirent* e = readdir(d)) {
            char* end = nullptr;
            long pid = strtol(e->d_name, &end, 10);
            if (pid > 0 && end && strcmp(end, ".sock") == 0 && pid != self) pids.push_back(pid);
        }
        closedir(d);
    }
    for (long pid : pids) IpcSend(pid, 0xFFFF, IPC_POST, msg, wParam, lParam);
}

bool IpcFind(const std::wstring* cls, const std::wstring* title, long* pid, uint64_t* hwnd) {
    std::string win = StateDir("win");
    long self = (long)getpid();
    std::vector<std::string> names;
    if (DIR* d = opendir(win.c_str())) {
        while (dirent* e = readdir(d)) names.push_back(e->d_name);
        closedir(d);
    }
    for (const std::string& name : names) {
        long p = 0;
        unsigned long long h = 0;
        if (sscanf(name.c_str(), "%ld-%llx", &p, &h) != 2 || name.find(".tmp") != std::string::npos) continue;
        if (p == self) continue;
        if (!Alive(p)) {
            RemoveProcess(p);
            continue;
        }
        FILE* f = fopen((win + "/" + name).c_str(), "r");
        if (!f) continue;
        char c[512] = "", t[512] = "";
        bool ok = fgets(c, sizeof c, f) && fgets(t, sizeof t, f);
        fclose(f);
        if (!ok) continue;
        c[strcspn(c, "\n")] = 0;
        t[strcspn(t, "\n")] = 0;
        if (cls && FromUtf8(c) != *cls) continue;
        if (title && FromUtf8(t) != *title) continue;
        *pid = p;
        *hwnd = h;
        return true;
    }
    return false;
}

}  // namespace kp
