// The cross-process side of windows and messages, without a daemon: every
// process that owns a top-level window binds one datagram socket at
// <root>/.platform/ipc/<pid>.sock (this file) and lists its top-level
// windows as files <root>/.platform/win/<pid>-<hwnd> (registry.cpp); both
// folders are private to the user. Broadcasts go to the user's listeners
// (listeners.cpp) and to the listener group (group.cpp).
#include "ipc_shared.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>

namespace kp {
namespace {

std::mutex g_m;  // the receiving side
std::atomic<IpcReceiver> g_receiver{nullptr};
int g_recvFd = -1;
Path g_sockPath;  // where this process listens
Path g_winDir;    // where its window entries are
std::atomic<unsigned long> g_dropped{0};

void CleanupAtExit() {
    std::lock_guard<std::mutex> lock(g_m);
    if (!g_sockPath.n) return;
    unlink(g_sockPath.c_str());
    RemoveEntriesOf(g_winDir, (long)getpid());
}

void ReceiveLoop(int fd) {
    for (;;) {
        // One byte more than a packet, so that a longer datagram shows.
        char buf[sizeof(Packet) + 1];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if ((n < 0 && errno == EINTR) || n == 0) continue;  // 0: the socket was bound anew
        if (n < 0) return;
        HandleDatagram(buf, (size_t)n);
    }
}

}  // namespace

void EnsureListening() {
    std::lock_guard<std::mutex> lock(g_m);
    if (g_recvFd >= 0) return;
    Path path;
    sockaddr_un addr;
    if (!SockPath((long)getpid(), &path) || !Address(path, &addr)) {
        BackendLine("platform: cannot listen for other processes: socket path too long: %s\n", path.c_str());
        return;
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    unlink(path.c_str());
    if (bind(fd, (sockaddr*)&addr, sizeof addr) != 0) {
        BackendLine("platform: cannot listen for other processes at %s: %s\n", path.c_str(), strerror(errno));
        close(fd);
        return;
    }
    g_recvFd = fd;
    g_sockPath = path;
    StateDir("win", &g_winDir);
    atexit(CleanupAtExit);
    std::thread(ReceiveLoop, fd).detach();
}

// When this process's socket went with its folder (removed, or replaced),
// binds again at the same path and puts the new socket under the receiving
// thread's descriptor number; the old socket is shut down, which wakes the
// thread out of its wait on it.
void RebindIfGone() {
    std::lock_guard<std::mutex> lock(g_m);
    if (g_recvFd < 0) return;
    struct stat st;
    if (lstat(g_sockPath.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) return;
    Path dir;
    sockaddr_un addr;
    if (!StateDir("ipc", &dir) || !Address(g_sockPath, &addr)) return;
    int fresh = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fresh < 0) return;
    unlink(g_sockPath.c_str());
    if (bind(fresh, (sockaddr*)&addr, sizeof addr) != 0) {
        BackendLine("platform: cannot listen again for other processes at %s: %s\n", g_sockPath.c_str(),
                    strerror(errno));
        close(fresh);
        return;
    }
    int old = dup(g_recvFd);
    dup3(fresh, g_recvFd, O_CLOEXEC);
    close(fresh);
    if (old >= 0) {
        shutdown(old, SHUT_RDWR);
        close(old);
    }
    BackendLine("platform: the ipc folder went away; listening again at %s\n", g_sockPath.c_str());
}

bool SockPath(long pid, Path* out) {
    return StateDir("ipc", out) && out->Append("/") && out->AppendNumber((unsigned long long)pid) &&
           out->Append(".sock");
}

bool Address(const Path& path, sockaddr_un* addr) {
    memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    if (path.n >= sizeof addr->sun_path) return false;
    memcpy(addr->sun_path, path.c_str(), path.n + 1);
    return true;
}

void HandleDatagram(const void* data, size_t size) {
    Packet p;
    if (size == sizeof p) memcpy(&p, data, sizeof p);
    IpcReceiver receiver = g_receiver.load(std::memory_order_acquire);
    if (size != sizeof p || p.magic != kMagic || (p.kind != IPC_POST && p.kind != IPC_DESTROY) || !receiver ||
        !receiver((IpcKind)p.kind, p.hwnd, p.msg, (WPARAM)p.wParam, (LPARAM)p.lParam)) {
        unsigned long dropped = ++g_dropped;
        if (dropped <= 10 || dropped % 1000 == 0)
            BackendLine("platform: dropped a message from another process (%lu so far)\n", dropped);
    }
}

void IpcSetReceiver(IpcReceiver receiver) { g_receiver.store(receiver, std::memory_order_release); }

bool IpcSend(long pid, uint64_t hwnd, IpcKind kind, UINT msg, WPARAM wParam, LPARAM lParam) {
    Path path;
    sockaddr_un addr;
    if (!SockPath(pid, &path) || !Address(path, &addr)) return false;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    Packet p = {kMagic, (uint32_t)kind, hwnd, msg, 0, (uint64_t)wParam, (int64_t)lParam};
    ssize_t n = sendto(fd, &p, sizeof p, MSG_DONTWAIT | MSG_NOSIGNAL, (sockaddr*)&addr, sizeof addr);
    int e = errno;
    close(fd);
    if (n == (ssize_t)sizeof p) return true;
    // Nobody bound there any more: the listener is gone.
    if (e == ECONNREFUSED || e == ENOENT) RemoveProcess(pid);
    return false;
}

}  // namespace kp
