// The listener group: programs of KESTA_GPS_LISTEN_GROUP hear the broadcast
// through one socket the service owns, <root>/.platform/listen.sock
// (SOCK_SEQPACKET). A member connects; the service reads its credentials
// from the connection (the share per user) and sends every broadcast on
// every connection without waiting. Members make nothing under the root, so
// there is nothing of theirs to squat, alias, replace by a link or pile up
// for the service to read, and a connection carries only what the service
// sends on it, so no member reaches another's.
//
// A thread of its own takes the connections; the broadcast only sends, and
// shares the set with that thread for one insert at a time.
#include "ipc_shared.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace kp {
namespace {

// Connections the service serves at once, and how many of them one user
// other than the service's own may hold.
enum { kMaxMembers = 512, kPerUser = 64, kBacklog = 64 };
// Bytes of packets a connection may hold unread (the kernel doubles it, and
// counts each 40-byte packet at several hundred): some tens of broadcasts.
enum { kSendRoom = 16384 };
const char kSocketName[] = "listen.sock";

struct Member {
    int fd;
    uid_t uid;
    long pid;
    bool told;  // said once that it loses broadcasts
};

struct Members {
    std::mutex m;
    Member list[kMaxMembers];
    int count = 0;
    int listenFd = -1;  // -1: no listener group
    gid_t gid = (gid_t)-1;
    dev_t dev = 0;  // the socket's file, to see it removed or replaced
    ino_t ino = 0;
    unsigned long refused = 0;
};

// Never destroyed: the reader thread may still broadcast while the process
// exits.
Members& M() {
    alignas(Members) static char storage[sizeof(Members)];
    static Members* m = new (storage) Members;
    return *m;
}

// Says why a connection was refused: the first ten times, then every 1000th.
bool SayRefused(Members& g) {
    unsigned long n = ++g.refused;
    return n <= 10 || n % 1000 == 0;
}

// A connection whose member closed it.
bool Closed(int fd) {
    pollfd p = {fd, 0, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR));
}

// Drops the closed connections of `uid` (every user's when uid is -1).
void Prune(Members& g, uid_t uid) {
    for (int i = g.count - 1; i >= 0; --i)
        if ((uid == (uid_t)-1 || g.list[i].uid == uid) && Closed(g.list[i].fd)) {
            close(g.list[i].fd);
            g.list[i] = g.list[--g.count];
        }
}

int Held(const Members& g, uid_t uid) {
    int held = 0;
    for (int i = 0; i < g.count; ++i) held += g.list[i].uid == uid;
    return held;
}

// Takes one new connection into the set, or refuses it with a line.
void Admit(Members& g, int fd) {
    ucred c;
    socklen_t len = sizeof c;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &c, &len) != 0) {
        close(fd);
        return;
    }
    // Nothing comes the other way: a member's sends fail at once instead
    // of queueing at the service. What waits for a member that does not
    // read is held against the service's sending room: a small one each.
    shutdown(fd, SHUT_RD);
    int room = kSendRoom;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    std::lock_guard<std::mutex> lock(g.m);
    bool shared = c.uid != geteuid();
    if (shared && Held(g, c.uid) >= kPerUser) Prune(g, c.uid);
    if (shared && Held(g, c.uid) >= kPerUser) {
        if (SayRefused(g))
            BackendLine("platform: listener %ld hears nothing: user %u has %d listeners already\n", (long)c.pid,
                        (unsigned)c.uid, (int)kPerUser);
        close(fd);
        return;
    }
    if (g.count == kMaxMembers) Prune(g, (uid_t)-1);
    if (g.count == kMaxMembers) {
        if (SayRefused(g))
            BackendLine("platform: listener %ld hears nothing: %d listeners are served already\n", (long)c.pid,
                        (int)kMaxMembers);
        close(fd);
        return;
    }
    Member& m = g.list[g.count++];
    m.fd = fd;
    m.uid = c.uid;
    m.pid = c.pid;
    m.told = false;
}

void AcceptLoop() {
    // Stop signals belong to the process's waiter.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    Members& g = M();
    for (;;) {
        int fd = accept4(g.listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            Admit(g, fd);
        } else if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            // No room now: the connection waits in the backlog meanwhile.
            timespec pause = {0, 100 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
        // EINVAL: the socket was bound anew under the same descriptor.
    }
}

bool PlatformDir(Path* out) { return StateDir("", out); }

bool SocketPath(Path* out) { return PlatformDir(out) && out->Append("/") && out->Append(kSocketName); }

// Binds the service's socket for the group, open to the group alone, and
// lets the group through .platform to it. The old socket's descriptor
// number, when there is one, carries the new socket.
bool Bind(Members& g, char* why, size_t whySize) {
    Path platform, path;
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (!PlatformDir(&platform) || !SocketPath(&path) || path.n >= sizeof addr.sun_path) {
        snprintf(why, whySize, "the root's path is too long");
        return false;
    }
    memcpy(addr.sun_path, path.c_str(), path.n + 1);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        snprintf(why, whySize, "cannot make a socket: %s", strerror(errno));
        return false;
    }
    struct stat st;
    unlink(path.c_str());
    // Opened to the group only once it is a socket of this process: .platform
    // admits nobody else to make one there.
    if (bind(fd, (sockaddr*)&addr, sizeof addr) != 0 || listen(fd, kBacklog) != 0 || lstat(path.c_str(), &st) != 0 ||
        !S_ISSOCK(st.st_mode) || lchown(path.c_str(), (uid_t)-1, g.gid) != 0 || chmod(path.c_str(), 0660) != 0 ||
        !SetFolderMode(AT_FDCWD, platform.c_str(), g.gid, 0710)) {
        snprintf(why, whySize, "cannot open %s to the group: %s", path.c_str(), strerror(errno));
        close(fd);
        return false;
    }
    g.dev = st.st_dev;
    g.ino = st.st_ino;
    if (g.listenFd < 0) {
        g.listenFd = fd;
        return true;
    }
    // Wakes the accepting thread out of its wait on the old socket.
    int old = dup(g.listenFd);
    dup3(fd, g.listenFd, O_CLOEXEC);
    close(fd);
    if (old >= 0) {
        shutdown(old, SHUT_RDWR);
        close(old);
    }
    return true;
}

void MakeRoomForDescriptors() {
    rlimit r;
    rlim_t want = (rlim_t)kMaxMembers + 1024 + 256;  // and the own user's listeners
    if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < want) {
        r.rlim_cur = r.rlim_max < want ? r.rlim_max : want;
        setrlimit(RLIMIT_NOFILE, &r);
    }
}

}  // namespace

bool GroupListen(gid_t gid, char* why, size_t whySize) {
    Members& g = M();
    g.gid = gid;
    if (!Bind(g, why, whySize)) return false;
    MakeRoomForDescriptors();
    std::thread(AcceptLoop).detach();
    return true;
}

void IpcBroadcastToGroup(const void* packet, size_t size) {
    Members& g = M();
    if (g.listenFd < 0) return;
    std::lock_guard<std::mutex> lock(g.m);
    // The socket's file removed or replaced (its folder removed, say): bound
    // anew, so that members can connect again.
    Path path;
    struct stat st;
    if (SocketPath(&path) && (lstat(path.c_str(), &st) != 0 || st.st_dev != g.dev || st.st_ino != g.ino)) {
        char why[256];
        if (Bind(g, why, sizeof why)) BackendLine("platform: the listeners' socket went away; listening again at %s\n",
                                                  path.c_str());
    }
    for (int i = g.count - 1; i >= 0; --i) {
        Member& to = g.list[i];
        ssize_t n = send(to.fd, packet, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n == (ssize_t)size) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // A member that does not read loses broadcasts, and nobody else.
            if (!to.told)
                BackendLine("platform: listener %ld of user %u does not read: it loses broadcasts\n", to.pid,
                            (unsigned)to.uid);
            to.told = true;
            continue;
        }
        close(to.fd);
        g.list[i] = g.list[--g.count];
    }
}

}  // namespace kp
