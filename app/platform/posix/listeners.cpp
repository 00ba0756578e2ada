// The broadcast to the listeners of the user: one non-blocking datagram to
// every socket in <root>/.platform/ipc. The set of listeners is kept between
// broadcasts and read again only when the folder changes (inotify), and each
// listener gets its own sending socket: datagrams queued at a listener that
// never reads count against that socket alone, so a stopped listener loses
// its own messages and starves nobody. A socket nobody listens on any more
// is removed by the first sender that meets it. Nothing here allocates
// after the first broadcast. The listener group hears the same packet on
// its own socket (group.cpp).
#include "ipc_shared.h"

#include <cerrno>
#include <cstdio>
#include <new>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <ctime>

namespace kp {
namespace {

// Listeners one process broadcasts to. Each has a sending socket of its own
// (a stopped listener then fills only its own), so the descriptor limit is
// raised to make room for them.
enum { kMaxListeners = 1024 };

// They bind in ipc/, next to the processes' own sockets; the listener group
// has a socket of its own (group.cpp).
struct Listener {
    long pid;
    int fd;  // this listener's own sending socket
    sockaddr_un addr;
};

struct Listeners {
    std::mutex m;
    Listener list[kMaxListeners];
    int count = 0;
    int watch = -1;    // inotify on ipc/
    dev_t watchedDev = 0;  // the folder the watch is on
    ino_t watchedIno = 0;
    bool stale = true;  // read the folder again before the next send
    Path root;          // the root the list belongs to
};

// In static storage and never destroyed: the first broadcast comes after
// start-up, and the reader thread may still broadcast while the process exits.
Listeners& L() {
    alignas(Listeners) static char storage[sizeof(Listeners)];
    static Listeners* l = new (storage) Listeners;
    return *l;
}

void DropListener(Listeners& l, int i) {
    if (l.list[i].fd >= 0) close(l.list[i].fd);
    l.list[i] = l.list[--l.count];
}

void Unwatch(Listeners& l) {
    if (l.watch >= 0) close(l.watch);
    l.watch = -1;
}

// Another root: another list.
void FollowRoot(Listeners& l) {
    Path root;
    RootPath(&root);
    if (root.n == l.root.n && memcmp(root.s, l.root.s, root.n) == 0) return;
    l.root = root;
    Unwatch(l);
    l.stale = true;
}

// Watches the folder (afresh when it was replaced, or the watch lost
// events) and marks the list stale when anything came and went in it.
void Watch(Listeners& l, const Path& dir) {
    // A watch set while the folder was being removed may never hear of its
    // removal; the folder's identity tells.
    struct stat st;
    if (l.watch >= 0 && (stat(dir.c_str(), &st) != 0 || st.st_dev != l.watchedDev || st.st_ino != l.watchedIno))
        Unwatch(l);
    if (l.watch < 0) {
        l.watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (l.watch >= 0 && inotify_add_watch(l.watch, dir.c_str(), IN_CREATE | IN_DELETE | IN_MOVED_TO |
                                                                      IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF) < 0)
            Unwatch(l);
        // Taken after the watch is set: a folder replaced in between shows
        // at the next broadcast.
        if (l.watch >= 0 && stat(dir.c_str(), &st) == 0) {
            l.watchedDev = st.st_dev;
            l.watchedIno = st.st_ino;
        }
        l.stale = true;
    }
    if (l.watch < 0) {
        l.stale = true;  // no watch: read the folder every time
        return;
    }
    alignas(8) char events[4096];
    bool lost = false;
    ssize_t n;
    while ((n = read(l.watch, events, sizeof events)) > 0) {
        l.stale = true;
        for (ssize_t at = 0; at + (ssize_t)sizeof(inotify_event) <= n;) {
            inotify_event e;
            memcpy(&e, events + at, sizeof e);
            if (e.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_Q_OVERFLOW)) lost = true;
            at += (ssize_t)(sizeof e + e.len);
        }
    }
    if (lost) Unwatch(l);
}

// "<pid>.sock" exactly: digits without a sign, a blank or a leading zero.
long ListenerPid(const char* name) {
    if (name[0] < '1' || name[0] > '9') return 0;
    long pid = 0;
    const char* c = name;
    for (; *c >= '0' && *c <= '9'; ++c) {
        if (pid > 100000000L) return 0;
        pid = pid * 10 + (*c - '0');
    }
    return strcmp(c, ".sock") == 0 ? pid : 0;
}

// Reads the folder again; keeps the sockets of listeners still there.
void ReadListeners(Listeners& l, const Path& dir) {
    static bool roomMade = false;
    if (!roomMade) {
        roomMade = true;
        rlimit r;
        if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < (rlim_t)kMaxListeners + 256) {
            r.rlim_cur = r.rlim_max < (rlim_t)kMaxListeners + 256 ? r.rlim_max : (rlim_t)kMaxListeners + 256;
            setrlimit(RLIMIT_NOFILE, &r);
        }
    }
    int refused = 0;
    long self = (long)getpid();
    bool seen[kMaxListeners] = {};
    ForEachEntry(dir.c_str(), [&](const char* name) {
        long pid = ListenerPid(name);
        if (pid <= 0 || pid == self) return;
        for (int i = 0; i < l.count; ++i)
            if (l.list[i].pid == pid) {
                seen[i] = true;
                return;
            }
        if (l.count == kMaxListeners) {
            if (++refused <= 10)
                BackendLine("platform: listener %ld hears nothing: %d listeners are served already\n", pid,
                            (int)kMaxListeners);
            return;
        }
        Path path = dir;
        Listener& n = l.list[l.count];
        if (!path.Append("/") || !path.Append(name) || !Address(path, &n.addr)) return;
        n.pid = pid;
        n.fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (n.fd < 0) {
            if (++refused <= 10) BackendLine("platform: listener %ld hears nothing: %s\n", pid, strerror(errno));
            return;
        }
        seen[l.count++] = true;
    });
    for (int i = l.count - 1; i >= 0; --i)
        if (!seen[i]) DropListener(l, i);
}

// Brings the list up to date when the folder changed since the last
// broadcast (or the root did).
void Refresh(Listeners& l) {
    FollowRoot(l);
    Path dir;
    if (!StateDir("ipc", &dir)) return;
    Watch(l, dir);
    if (!l.stale) return;
    l.stale = false;
    RebindIfGone();
    ReadListeners(l, dir);
}

// When the broadcast is sent: CLOCK_MONOTONIC in milliseconds, its low 32
// bits, so that a listener on this machine can tell a packet's age (below
// 49 days) from its own reading of that clock. 0 is never sent: it stands
// for a sender that does not say.
uint32_t SentStamp() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    uint32_t ms = (uint32_t)((uint64_t)t.tv_sec * 1000u + (uint64_t)t.tv_nsec / 1000000u);
    return ms ? ms : 1;
}

}  // namespace

void IpcBroadcast(UINT msg, WPARAM wParam, LPARAM lParam) {
    Packet p = {kMagic, IPC_POST, (uint64_t)(uintptr_t)HWND_BROADCAST, msg, SentStamp(), (uint64_t)wParam,
                (int64_t)lParam};
    {
        Listeners& l = L();
        std::lock_guard<std::mutex> lock(l.m);
        Refresh(l);
        for (int i = l.count - 1; i >= 0; --i) {
            Listener& to = l.list[i];
            ssize_t n = sendto(to.fd, &p, sizeof p, MSG_DONTWAIT | MSG_NOSIGNAL, (sockaddr*)&to.addr, sizeof to.addr);
            if (n == (ssize_t)sizeof p) continue;
            // A full queue (EAGAIN) drops this one message for this listener.
            if (errno == ECONNREFUSED || errno == ENOENT) {
                RemoveProcess(to.pid);
                DropListener(l, i);
            }
        }
    }
    IpcBroadcastToGroup(&p, sizeof p);
}

}  // namespace kp
