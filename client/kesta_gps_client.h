/* kesta_gps_client: hear the KESTA_GPS service's broadcast on Linux.
 *
 * The service broadcasts the registered message "KESTA_GPS" after each
 * drain of receiver data from the serial port (a burst at 9600 baud spans
 * several drains, so a receiver sending once a second gives a few
 * broadcasts a second, mostly repeats): wParam the speed in whole km/h
 * (cut, not rounded), lParam 1 for a valid fix and 0 otherwise. A listener
 * that wants one fix a second takes the latest when it wants one; repeats
 * are the same fix heard again and may be ignored. See README.md,
 * "Listening to the broadcast".
 *
 * Threads: one listener per process at a time; not thread-safe: one
 * thread at a time uses a listener. After fork, the child may close the
 * listener it inherited (the parent keeps hearing) and then listen on its
 * own; it must not read from the inherited one (it would take the
 * parent's broadcasts).
 *
 * Errors (errno, after NULL or -1; errno is left as it was on success):
 *   ENOENT        the root does not exist
 *   ENOTDIR       the root is not a folder
 *   ENAMETOOLONG  the root's path is too long for a socket's name
 *   ESRCH         no service has ever run on this root (no .platform)
 *   EBUSY         this process listens already
 *   EACCES        neither the service's user nor let in by its listener
 *                 group (not in the group, or the service runs without one)
 *   EPERM         the root's .platform, or the socket answering on it,
 *                 is not the service's (KESTA_GPS_USER, else "kesta-gps",
 *                 or root), or others may write .platform
 *   EINVAL        a NULL listener or fix, or bad names
 *   ENOTCONN      from kesta_gps_next: the service has stopped. Said at
 *                 once when it is noticed (a group member's connection
 *                 ends; for the service's own user within a second once it
 *                 has been heard), then at each timeout while it is away.
 *                 The listener stays: it hears the service again when it
 *                 starts again.
 *   ENOMEM, EMFILE, ENFILE  out of memory or descriptors
 *
 * The packet on the wire, 40 bytes in the machine's byte order: u32 magic
 * "KGPS" (0x4B475053), u32 kind (1: a posted message), u64 window (0xFFFF:
 * broadcast), u32 message, u32 when it was sent (the sender's
 * CLOCK_MONOTONIC in milliseconds, its low 32 bits; 0: not said), u64
 * wParam, i64 lParam. The service's own user receives it as a datagram on
 * <root>/.platform/ipc/<pid>.sock, a listener group member as a packet on a
 * SOCK_SEQPACKET connection to <root>/.platform/listen.sock. A registered
 * message's number is the FNV-1a hash of its name's UTF-8 bytes, folded
 * into 0xC000-0xFFFF. */
#ifndef KESTA_GPS_CLIENT_H
#define KESTA_GPS_CLIENT_H

#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

struct kesta_gps_listener; /* opaque */

/* A wall-clock (CLOCK_REALTIME) time. */
struct kesta_gps_time {
    time_t tv_sec;
    long tv_nsec;
};

struct kesta_gps_fix {
    unsigned speed_kmh;             /* whole km/h */
    int valid;                      /* 1: the receiver had a valid fix */
    struct kesta_gps_time received; /* when the library took it in */
    struct kesta_gps_time sent;     /* when the service sent it: its age is
                                       received - sent (equal when not said) */
};

/* Starts listening on the service's root: root NULL takes $KESTA_GPS_ROOT,
 * else /var/lib/kesta-gps. NULL with errno set on failure (see Errors). A
 * group member started while the service is not running (on a root it ran
 * on with its group) hears it once it runs. */
struct kesta_gps_listener *kesta_gps_listen(const char *root);

/* The descriptor to poll() for input; the same number for the listener's
 * life (a group member's wakes now and then while the service is away). */
int kesta_gps_fd(const struct kesta_gps_listener *l);

/* Waits up to timeout_ms (negative: for ever) for a broadcast and gives
 * the latest: what waits is read and the last kept. When several waited
 * (the caller was slow, and the queue may have refused newer ones), the
 * next broadcast is waited for, up to timeout_ms and 2 s, and given; the
 * last that waited is given when none comes. Each broadcast is given once.
 * 1: *fix was stored; 0: timeout; -1: error, errno set (ENOTCONN: the
 * service has stopped). */
int kesta_gps_next(struct kesta_gps_listener *l, struct kesta_gps_fix *fix, int timeout_ms);

/* Stops listening and frees the listener; NULL is ignored. */
void kesta_gps_close(struct kesta_gps_listener *l);

/* For tools: any registered message, by name. kesta_gps_listen_names
 * listens for `count` names (1 to 16); kesta_gps_next_message gives the
 * index of the name heard and the message's raw parameters: every message
 * in turn, the oldest waiting first (what a full queue refused is lost);
 * timeouts and errors as kesta_gps_next's. */
struct kesta_gps_message {
    unsigned index;
    unsigned long long wparam;
    long long lparam;
    struct kesta_gps_time received;
    struct kesta_gps_time sent;
};
/* The number of the registered message `name` (UTF-8), the same in every
 * process: the FNV-1a hash described above. */
unsigned kesta_gps_message_number(const char *name);
struct kesta_gps_listener *kesta_gps_listen_names(const char *root, const char *const *names, int count);
int kesta_gps_next_message(struct kesta_gps_listener *l, struct kesta_gps_message *m, int timeout_ms);

#ifdef __cplusplus
}
#endif

#endif
