// The cross-process side of windows and messages, without a daemon: every
// process that owns a top-level window binds one datagram socket at
// <root>/.platform/ipc/<pid>.sock and lists its top-level windows as files
// <root>/.platform/win/<pid>-<hwnd>; both folders are private to the user.
//
// A broadcast sends one non-blocking datagram to every listener. The set of
// listeners is kept between broadcasts and read again only when the ipc
// folder changes (inotify), and each listener gets its own sending socket:
// datagrams queued at a listener that never reads count against that socket
// alone, so a stopped listener loses its own messages and starves nobody. A
// socket nobody listens on any more is removed by the first sender that
// meets it. Nothing here allocates after the first broadcast.
#include "internal.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <new>
#include <thread>
#include <unistd.h>

// A 32-bit build without large-file support gets EOVERFLOW from folder
// listings on a 64-bit file system and would see no listener at all.
static_assert(sizeof(off_t) >= 8, "build with -D_FILE_OFFSET_BITS=64");

namespace kp {
namespace {

const uint32_t kMagic = 0x4B475053;  // "KGPS"
// Listeners one process broadcasts to. Each has a sending socket of its own
// (a stopped listener then fills only its own), so the descriptor limit is
// raised to make room for them.
enum { kMaxListeners = 1024 };

struct Packet {
    uint32_t magic;
    uint32_t kind;
    uint64_t hwnd;
    uint32_t msg;
    uint32_t pad;
    uint64_t wParam;
    int64_t lParam;
};

std::mutex g_m;  // the receiving side and the window registry
std::atomic<IpcReceiver> g_receiver{nullptr};
int g_recvFd = -1;
Path g_sockPath;  // where this process listens
Path g_winDir;    // where its window entries are
std::atomic<unsigned long> g_dropped{0};

// Calls found(name) for every entry of a folder, without the heap that
// opendir takes: the entries are read straight into a buffer on the stack.
template <class F>
void ForEachEntry(const char* dir, F found) {
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

void RemoveProcess(long pid) {
    Path sock, win;
    if (SockPath(pid, &sock)) unlink(sock.c_str());
    if (!StateDir("win", &win)) return;
    ForEachEntry(win.c_str(), [&](const char* name) {
        if (EntryPid(name, nullptr) != pid) return;
        Path entry = win;
        if (entry.Append("/") && entry.Append(name)) unlink(entry.c_str());
    });
}

void CleanupAtExit() {
    std::lock_guard<std::mutex> lock(g_m);
    if (!g_sockPath.n) return;
    unlink(g_sockPath.c_str());
    long self = (long)getpid();
    ForEachEntry(g_winDir.c_str(), [&](const char* name) {
        if (EntryPid(name, nullptr) != self) return;
        Path entry = g_winDir;
        if (entry.Append("/") && entry.Append(name)) unlink(entry.c_str());
    });
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

// Binds this process's socket the first time it owns a top-level window.
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

bool Alive(long pid) { return pid > 0 && (kill((pid_t)pid, 0) == 0 || errno == EPERM); }

// ---- The listeners a broadcast goes to ----

// Listeners of the service's own user bind in ipc/, next to the processes'
// own sockets; those of its listener group bind in listen/ (sticky: nobody
// removes another's socket), where each other user gets a share of the slots.
enum { kPerOtherUser = 64 };
gid_t g_listenGid = (gid_t)-1;  // no listener group

struct Listener {
    long pid;
    int fd;  // this listener's own sending socket
    bool group;  // in listen/: a socket of another user, removed by its path
    uid_t uid;
    sockaddr_un addr;
};

struct Listeners {
    std::mutex m;
    Listener list[kMaxListeners];
    int count = 0;
    int watch = -1;     // inotify on the listeners' folders
    dev_t watchedDev[2] = {0, 0};  // the folders the watch is on
    ino_t watchedIno[2] = {0, 0};
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

bool ListenDir(Path* out) { return StateDir("", out) && out->Append("/listen"); }

// A listener whose socket is gone: a process of ours loses its registry
// entries with it; a group listener's socket is only ever removed by path
// (its name is the other user's choice and may name one of ours).
void ListenerGone(const Listener& to) {
    if (to.group) unlink(to.addr.sun_path);
    else RemoveProcess(to.pid);
}

// Reads the listeners' folders again when they changed since the last
// broadcast (or the root did); keeps the sockets of listeners still there.
void Refresh(Listeners& l) {
    Path root;
    RootPath(&root);
    if (root.n != l.root.n || memcmp(root.s, l.root.s, root.n) != 0) {
        l.root = root;
        if (l.watch >= 0) close(l.watch);
        l.watch = -1;
        l.stale = true;
    }
    Path dirs[2];
    if (!StateDir("ipc", &dirs[0])) return;
    int folders = g_listenGid != (gid_t)-1 && ListenDir(&dirs[1]) ? 2 : 1;
    // A watch set while a folder was being removed may never hear of its
    // removal; the folders' identities tell.
    struct stat st;
    for (int i = 0; i < folders && l.watch >= 0; ++i)
        if (stat(dirs[i].c_str(), &st) != 0 || st.st_dev != l.watchedDev[i] || st.st_ino != l.watchedIno[i]) {
            close(l.watch);
            l.watch = -1;
        }
    if (l.watch < 0) {
        l.watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        for (int i = 0; i < folders && l.watch >= 0; ++i) {
            if (inotify_add_watch(l.watch, dirs[i].c_str(), IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM |
                                                                IN_DELETE_SELF | IN_MOVE_SELF) < 0) {
                close(l.watch);
                l.watch = -1;
            } else if (stat(dirs[i].c_str(), &st) == 0) {
                // Taken after the watch is set: a folder replaced in between
                // shows at the next broadcast.
                l.watchedDev[i] = st.st_dev;
                l.watchedIno[i] = st.st_ino;
            }
        }
        l.stale = true;
    }
    if (l.watch >= 0) {
        // A folder removed or moved, or events lost: watch afresh.
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
        if (lost) {
            close(l.watch);
            l.watch = -1;
        }
    } else {
        l.stale = true;  // no watch: read the folders every time
    }
    if (!l.stale) return;
    l.stale = false;
    RebindIfGone();
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
    uid_t me = geteuid();
    bool seen[kMaxListeners] = {};
    for (int folder = 0; folder < folders; ++folder) {
        bool group = folder == 1;
        ForEachEntry(dirs[folder].c_str(), [&](const char* name) {
            char* end = nullptr;
            long pid = strtol(name, &end, 10);
            if (pid <= 0 || pid == self || strcmp(end, ".sock") != 0) return;
            for (int i = 0; i < l.count; ++i)
                if (l.list[i].pid == pid && l.list[i].group == group) {
                    seen[i] = true;
                    return;
                }
            Path path = dirs[folder];
            if (!path.Append("/") || !path.Append(name)) return;
            uid_t uid = me;
            if (group) {
                struct stat sock;
                if (lstat(path.c_str(), &sock) != 0 || !S_ISSOCK(sock.st_mode)) return;
                uid = sock.st_uid;
                int held = 0;
                for (int i = 0; i < l.count; ++i) held += l.list[i].group && l.list[i].uid == uid;
                if (uid != me && held >= kPerOtherUser) {
                    if (++refused <= 10)
                        BackendLine("platform: listener %ld hears nothing: user %u has %d listeners already\n", pid,
                                    (unsigned)uid, (int)kPerOtherUser);
                    return;
                }
            }
            if (l.count == kMaxListeners) {
                if (++refused <= 10)
                    BackendLine("platform: listener %ld hears nothing: %d listeners are served already\n", pid,
                                (int)kMaxListeners);
                return;
            }
            Listener& n = l.list[l.count];
            if (!Address(path, &n.addr)) return;
            n.pid = pid;
            n.group = group;
            n.uid = uid;
            n.fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (n.fd < 0) {
                if (++refused <= 10) BackendLine("platform: listener %ld hears nothing: %s\n", pid, strerror(errno));
                return;
            }
            seen[l.count++] = true;
        });
    }
    for (int i = l.count - 1; i >= 0; --i)
        if (!seen[i]) DropListener(l, i);
}

}  // namespace

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

bool IpcOpenToGroup(const char* group, bool apply, char* why, size_t whySize) {
    Path root, platform, listen;
    if (!group || !*group) {
        // Private again, whatever an earlier run opened.
        if (apply && StateDir("", &platform)) chmod(platform.c_str(), 0700);
        return true;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long number = strtoul(group, &end, 10);
    gid_t gid;
    if (*group >= '0' && *group <= '9' && !*end && !errno && number < (gid_t)-1) {
        gid = (gid_t)number;
    } else {
        struct group entry, *found = nullptr;
        char buf[4096];
        if (getgrnam_r(group, &entry, buf, sizeof buf, &found) != 0 || !found) {
            snprintf(why, whySize, "no such group");
            return false;
        }
        gid = found->gr_gid;
    }
    if (!apply) return true;
    if (!RootPath(&root) || !StateDir("", &platform) || !(listen = platform).Append("/listen")) {
        snprintf(why, whySize, "the root's path is too long");
        return false;
    }
    // The listeners' folder: the group may add sockets (and, sticky, remove
    // only its own) but not list it; new sockets take the group, so the
    // service can send to them. .platform only lets the group through to it.
    struct stat st;
    if (mkdir(listen.c_str(), 0700) != 0 && errno != EEXIST) {
        snprintf(why, whySize, "cannot make %s: %s", listen.c_str(), strerror(errno));
        return false;
    }
    if (lstat(listen.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
        snprintf(why, whySize, "%s is not a folder of this user", listen.c_str());
        return false;
    }
    if (chown(listen.c_str(), (uid_t)-1, gid) != 0 || chmod(listen.c_str(), 03730) != 0 ||
        chown(platform.c_str(), (uid_t)-1, gid) != 0 || chmod(platform.c_str(), 0710) != 0) {
        snprintf(why, whySize, "cannot open %s to the group: %s", platform.c_str(), strerror(errno));
        return false;
    }
    // The root must let the group through too.
    if (stat(root.c_str(), &st) == 0 && !(st.st_mode & 0001) && !(st.st_gid == gid && (st.st_mode & 0010)) &&
        (chown(root.c_str(), (uid_t)-1, gid) != 0 || chmod(root.c_str(), (st.st_mode & 07777) | 0010) != 0)) {
        snprintf(why, whySize, "cannot let the group into the root %s: %s", root.c_str(), strerror(errno));
        return false;
    }
    g_listenGid = gid;
    return true;
}

void IpcSetReceiver(IpcReceiver receiver) { g_receiver.store(receiver, std::memory_order_release); }

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

void IpcBroadcast(UINT msg, WPARAM wParam, LPARAM lParam) {
    Listeners& l = L();
    std::lock_guard<std::mutex> lock(l.m);
    Refresh(l);
    Packet p = {kMagic, IPC_POST, (uint64_t)(uintptr_t)HWND_BROADCAST, msg, 0, (uint64_t)wParam, (int64_t)lParam};
    for (int i = l.count - 1; i >= 0; --i) {
        Listener& to = l.list[i];
        ssize_t n = sendto(to.fd, &p, sizeof p, MSG_DONTWAIT | MSG_NOSIGNAL, (sockaddr*)&to.addr, sizeof to.addr);
        if (n == (ssize_t)sizeof p) continue;
        // A full queue (EAGAIN) drops this one message for this listener.
        if (errno == ECONNREFUSED || errno == ENOENT) {
            ListenerGone(to);
            DropListener(l, i);
        }
    }
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
