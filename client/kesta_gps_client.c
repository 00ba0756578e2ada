/* The broadcast as the service's Linux backend sends it: one datagram of 40
 * bytes to every socket <root>/.platform/ipc/<pid>.sock of the service's own
 * user, and the same 40 bytes as one packet on every connection to its
 * SOCK_SEQPACKET socket <root>/.platform/listen.sock (its listener group), in
 * the machine's byte order:
 *   u32 magic "KGPS" (0x4B475053), u32 kind (1: a posted message),
 *   u64 window (0xFFFF: broadcast), u32 message, u32 when it was sent (the
 *   sender's CLOCK_MONOTONIC in ms, low 32 bits; 0: not said), u64 wParam,
 *   i64 lParam.
 * A registered message's number is the FNV-1a hash of its name's UTF-8
 * bytes, folded into 0xC000-0xFFFF (the rule and its test vectors:
 * tests/data/message-numbers.txt). */
#define _GNU_SOURCE
#include "kesta_gps_client.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <pwd.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/timerfd.h>
#include <unistd.h>

enum { MAX_NAMES = 16, PACKET_BYTES = 40, RETRY_MS = 200, FRESH_MS = 2000, CHECK_MS = 1000 };
static const uint32_t kMagic = 0x4B475053u;
static const uint32_t kPost = 1;

struct kesta_gps_listener {
    int fd;
    uid_t sender; /* the service's user: the owner of the state folder */
    int member;   /* connected to the service's socket, as a group member */
    int connected;
    pid_t owner;   /* the process that made it: only it removes its socket */
    pid_t service; /* the sender of the last datagram heard (own user), 0 unknown */
    int told;      /* said that the service stopped, since it was last heard */
    unsigned count;
    unsigned msgs[MAX_NAMES];
    char path[sizeof(((struct sockaddr_un *)0)->sun_path)];
};

/* The socket of the service's own user is named by the process id, so a
 * process listens once (a group member too, alike); a child made by fork
 * is another process and may listen on its own. */
static pid_t g_listening;

unsigned kesta_gps_message_number(const char *name) {
    uint32_t h = 2166136261u;
    const unsigned char *p;
    for (p = (const unsigned char *)name; *p; ++p) {
        h ^= *p;
        h *= 16777619u;
    }
    return 0xC000u + ((h ^ (h >> 14) ^ (h >> 28)) & 0x3FFFu);
}

static int Fits(char *out, size_t size, const char *a, const char *b) {
    int n = snprintf(out, size, "%s%s", a, b);
    if (n < 0 || (size_t)n >= size) {
        errno = ENAMETOOLONG;
        return 0;
    }
    return 1;
}

/* The users the broadcast may come from: the caller itself, root, and the
 * service's user (KESTA_GPS_USER, a name or a number, else the user
 * "kesta-gps" the unit runs it as). */
static int Trusted(uid_t uid) {
    const char *name = getenv("KESTA_GPS_USER");
    struct passwd pw, *found = NULL;
    char buf[4096], *end = NULL;
    unsigned long number;
    if (uid == geteuid() || uid == 0) return 1;
    if (!name || !*name) name = "kesta-gps";
    if (getpwnam_r(name, &pw, buf, sizeof buf, &found) == 0 && found) return found->pw_uid == uid;
    number = strtoul(name, &end, 10);
    return *name >= '0' && *name <= '9' && !*end && number == (unsigned long)uid;
}

/* A timer in place of the connection while the service is not there: it
 * wakes a poll() on the listener's descriptor now and then, to try again. */
static int Waiting(void) {
    struct itimerspec every;
    int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    memset(&every, 0, sizeof every);
    every.it_interval.tv_nsec = every.it_value.tv_nsec = RETRY_MS * 1000000L;
    if (fd >= 0) timerfd_settime(fd, 0, &every, NULL);
    return fd;
}

/* Connects to the service's socket: 1 connected, 0 not now (the service is
 * not running, or busy), -1 refused with errno. The connection takes the
 * listener's descriptor number. */
static int Connect(struct kesta_gps_listener *l) {
    struct sockaddr_un addr;
    struct ucred cred;
    struct timeval wait = {2, 0};
    socklen_t len = sizeof cred;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0), e;
    if (fd < 0) return -1;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, l->path, strlen(l->path) + 1);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    if (connect(fd, (struct sockaddr *)&addr, sizeof addr) != 0) {
        e = errno;
        close(fd);
        if (e == ECONNREFUSED || e == EAGAIN || e == EINPROGRESS || e == EINTR) return 0;
        /* No socket: the service opens none to other users. */
        errno = e == ENOENT ? EACCES : e;
        return -1;
    }
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || (cred.uid != l->sender && cred.uid != 0)) {
        close(fd);
        errno = EPERM;
        return -1;
    }
    if (l->fd < 0) {
        l->fd = fd;
    } else {
        dup3(fd, l->fd, O_CLOEXEC);
        close(fd);
    }
    l->connected = 1;
    return 1;
}

/* The service went away: its timer takes the descriptor until it is back. */
static void Disconnected(struct kesta_gps_listener *l) {
    int fd = Waiting();
    l->connected = 0;
    if (fd < 0) return;
    dup3(fd, l->fd, O_CLOEXEC);
    close(fd);
}

struct kesta_gps_listener *kesta_gps_listen_names(const char *root, const char *const *names, int count) {
    char platform[4096], ipc[4096], pid[32];
    struct sockaddr_un addr;
    struct stat st;
    struct kesta_gps_listener *l;
    int i, on = 1, e, own, r, saved = errno;
    uid_t sender;
    if (!names || count < 1 || count > MAX_NAMES) {
        errno = EINVAL;
        return NULL;
    }
    for (i = 0; i < count; ++i)
        if (!names[i] || !*names[i]) {
            errno = EINVAL;
            return NULL;
        }
    if (!root || !*root) root = getenv("KESTA_GPS_ROOT");
    if (!root || !*root) root = "/var/lib/kesta-gps";
    snprintf(pid, sizeof pid, "/%ld.sock", (long)getpid());
    if (!Fits(platform, sizeof platform, root, "/.platform") || !Fits(ipc, sizeof ipc, platform, "/ipc"))
        return NULL;
    if (stat(root, &st) != 0) return NULL;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return NULL;
    }
    /* The service makes .platform when it first runs: without it no service
     * ever ran on this root, and nothing would ever be heard. */
    if (lstat(platform, &st) != 0) {
        if (errno == ENOENT) errno = ESRCH;
        return NULL;
    }
    /* Whoever owns .platform speaks on the broadcast: only a user trusted
     * to be the service's, and only a folder nobody else may change. */
    if (!S_ISDIR(st.st_mode) || !Trusted(st.st_uid) || (st.st_mode & 0022)) {
        errno = EPERM;
        return NULL;
    }
    /* The service's own user listens beside its sockets; any other user
     * connects to the socket the service opens to its listener group. */
    sender = st.st_uid;
    own = sender == geteuid();
    if (g_listening == getpid()) {
        errno = EBUSY;
        return NULL;
    }
    if (own && (lstat(ipc, &st) != 0 || !S_ISDIR(st.st_mode))) {
        errno = ESRCH; /* made by the service when it first runs */
        return NULL;
    }
    l = (struct kesta_gps_listener *)calloc(1, sizeof *l);
    if (!l) return NULL;
    l->fd = -1;
    l->owner = getpid();
    l->sender = sender;
    l->member = !own;
    l->count = (unsigned)count;
    for (i = 0; i < count; ++i) l->msgs[i] = kesta_gps_message_number(names[i]);
    if (!own) {
        if (!Fits(l->path, sizeof l->path, platform, "/listen.sock")) goto fail;
        r = Connect(l);
        if (r < 0) goto fail;
        if (r == 0 && (l->fd = Waiting()) < 0) goto fail;
        g_listening = l->owner;
        errno = saved;
        return l;
    }
    if (!Fits(l->path, sizeof l->path, ipc, pid)) goto fail;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, l->path, strlen(l->path) + 1);
    l->fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (l->fd < 0 || setsockopt(l->fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) goto fail;
    unlink(l->path); /* left by a process that had this pid */
    if (bind(l->fd, (struct sockaddr *)&addr, sizeof addr) != 0) goto fail;
    chmod(l->path, 0600);
    g_listening = l->owner;
    errno = saved;
    return l;
fail:
    e = errno;
    if (l->fd >= 0) close(l->fd);
    free(l);
    errno = e;
    return NULL;
}

struct kesta_gps_listener *kesta_gps_listen(const char *root) {
    static const char *const kName[] = {"KESTA_GPS"};
    return kesta_gps_listen_names(root, kName, 1);
}

int kesta_gps_fd(const struct kesta_gps_listener *l) { return l ? l->fd : -1; }

/* Only the service's user (or root) may speak on the broadcast; the sender's
 * pid tells later whether the service still runs. */
static int FromService(struct msghdr *mh, uid_t sender, pid_t *pid) {
    struct cmsghdr *c;
    for (c = CMSG_FIRSTHDR(mh); c; c = CMSG_NXTHDR(mh, c)) {
        struct ucred cred;
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_CREDENTIALS) continue;
        memcpy(&cred, CMSG_DATA(c), sizeof cred);
        if (cred.uid != sender && cred.uid != 0) return 0;
        *pid = cred.pid;
        return 1;
    }
    return 0;
}

static long long NowMs(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

/* The wall-clock time `ms` milliseconds before `t`. */
static struct kesta_gps_time Before(struct kesta_gps_time t, uint32_t ms) {
    long long ns = (long long)t.tv_sec * 1000000000LL + t.tv_nsec - (long long)ms * 1000000LL;
    t.tv_sec = (time_t)(ns / 1000000000LL);
    t.tv_nsec = (long)(ns % 1000000000LL);
    return t;
}

enum { TAKEN = 1, NONE = 0, FAILED = -1, GONE = -2 };

/* Takes the next packet of ours that waits, without waiting: TAKEN (in *m),
 * NONE, FAILED with errno, or GONE: the service closed the connection. */
static int Take(struct kesta_gps_listener *l, struct kesta_gps_message *m) {
    for (;;) {
        unsigned char buf[PACKET_BYTES + 1]; /* one more: a longer datagram shows */
        union {
            struct cmsghdr h;
            char b[CMSG_SPACE(sizeof(struct ucred))];
        } control;
        struct iovec io;
        struct msghdr mh;
        struct timespec now;
        uint32_t magic, kind, msg, stamp, age;
        uint64_t wparam;
        int64_t lparam;
        pid_t from = 0;
        unsigned i;
        ssize_t n;
        io.iov_base = buf;
        io.iov_len = sizeof buf;
        memset(&mh, 0, sizeof mh);
        mh.msg_iov = &io;
        mh.msg_iovlen = 1;
        mh.msg_control = control.b;
        mh.msg_controllen = sizeof control.b;
        n = recvmsg(l->fd, &mh, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return NONE;
        if (l->member && (n == 0 || (n < 0 && (errno == ECONNRESET || errno == EPIPE)))) return GONE;
        if (n < 0) return FAILED;
        /* A connection's peer was checked when it was made. */
        if (n != PACKET_BYTES || (mh.msg_flags & MSG_TRUNC) || (!l->member && !FromService(&mh, l->sender, &from)))
            continue;
        memcpy(&magic, buf, 4);
        memcpy(&kind, buf + 4, 4);
        memcpy(&msg, buf + 16, 4);
        memcpy(&stamp, buf + 20, 4);
        memcpy(&wparam, buf + 24, 8);
        memcpy(&lparam, buf + 32, 8);
        if (magic != kMagic || kind != kPost) continue;
        if (from) l->service = from;
        l->told = 0;
        for (i = 0; i < l->count; ++i)
            if (l->msgs[i] == msg) {
                clock_gettime(CLOCK_REALTIME, &now);
                m->received.tv_sec = now.tv_sec;
                m->received.tv_nsec = now.tv_nsec;
                /* The stamp is the sender's CLOCK_MONOTONIC in ms, cut to 32
                 * bits: the difference tells the age (0: not said). */
                age = stamp ? (uint32_t)NowMs() - stamp : 0;
                if (age > 0x7FFFFFFFu) age = 0;
                m->sent = Before(m->received, age);
                m->index = i;
                m->wparam = wparam;
                m->lparam = lparam;
                return TAKEN;
            }
    }
}

/* The service has stopped: a member's connection ended, or the process the
 * own user's datagrams came from is gone. */
static int Stopped(const struct kesta_gps_listener *l) {
    int e = errno, gone;
    if (l->member) return !l->connected;
    gone = l->service > 0 && kill(l->service, 0) != 0 && errno == ESRCH;
    errno = e;
    return gone;
}

/* The next message: every one in turn, or (latest) the last broadcast. */
static int Next(struct kesta_gps_listener *l, struct kesta_gps_message *m, int timeout_ms, int latest) {
    long long deadline = NowMs() + (timeout_ms > 0 ? timeout_ms : 0), fresh = 0;
    int saved = errno, backlog = 0;
    if (!l || !m) {
        errno = EINVAL;
        return -1;
    }
    for (;;) {
        struct pollfd p;
        long long until, now;
        int r, n = 0, slice;
        if (!l->member || l->connected) {
            /* All that waits is read and the last kept: the latest. */
            while ((r = Take(l, m)) == TAKEN && (++n, latest)) continue;
            if (r == FAILED) return -1;
            if (n > 0 && !latest) break;
            if (n > 0 && backlog > 0) break; /* the fresh one after a backlog */
            backlog += n;
            /* More than one waited: the queue may have been full and refused
             * newer broadcasts, so the next to come is the latest; it is
             * waited for a while (a receiver sends at least once a second). */
            if (n == 1 && backlog == 1) break;
            if (n > 1) fresh = NowMs() + FRESH_MS;
            if (r == GONE) {
                Disconnected(l); /* heard again once it is back */
                if (backlog) break;
                l->told = 1;
                errno = ENOTCONN;
                return -1;
            }
        }
        until = timeout_ms < 0 ? -1 : deadline;
        if (backlog && (until < 0 || fresh < until)) until = fresh;
        now = NowMs();
        slice = until < 0 ? CHECK_MS : (int)(until > now ? until - now : 0);
        if (!l->member && slice > CHECK_MS) slice = CHECK_MS;
        p.fd = l->fd;
        p.events = POLLIN;
        p.revents = 0;
        r = poll(&p, 1, slice);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r > 0) {
            if (l->member && !l->connected) {
                uint64_t ticks;
                if (read(l->fd, &ticks, sizeof ticks) < 0 && errno != EAGAIN) return -1;
                if (Connect(l) < 0) return -1;
                if (l->connected) l->told = 0;
            }
            continue;
        }
        if (until >= 0 && NowMs() >= until && backlog) break;
        if (Stopped(l) && (!l->told || (until >= 0 && NowMs() >= until))) {
            l->told = 1;
            errno = ENOTCONN;
            return -1;
        }
        if (until >= 0 && NowMs() >= until) {
            errno = saved;
            return 0;
        }
    }
    errno = saved;
    return 1;
}

int kesta_gps_next_message(struct kesta_gps_listener *l, struct kesta_gps_message *m, int timeout_ms) {
    return Next(l, m, timeout_ms, 0);
}

int kesta_gps_next(struct kesta_gps_listener *l, struct kesta_gps_fix *fix, int timeout_ms) {
    struct kesta_gps_message m;
    int r;
    if (!fix) {
        errno = EINVAL;
        return -1;
    }
    r = Next(l, &m, timeout_ms, 1);
    if (r == 1) {
        fix->speed_kmh = (unsigned)m.wparam;
        fix->valid = m.lparam == 1;
        fix->received = m.received;
        fix->sent = m.sent;
    }
    return r;
}

void kesta_gps_close(struct kesta_gps_listener *l) {
    int e = errno;
    if (!l) return;
    close(l->fd);
    /* A child made by fork closes its copy: the socket stays its maker's. */
    if (!l->member && l->owner == getpid()) unlink(l->path);
    if (g_listening == l->owner) g_listening = 0;
    free(l);
    errno = e;
}
