/* kesta_gps_client: hear the KESTA_GPS service's broadcast on Linux.
 *
 * After each burst of receiver data the service broadcasts the registered
 * message "KESTA_GPS": wParam the speed in whole km/h (cut, not rounded),
 * lParam 1 for a valid fix and 0 otherwise. See README.md, "Listening to the
 * broadcast", for when broadcasts come and how to tell that none come.
 *
 * One listener per process at a time. Not thread-safe: one thread uses a
 * listener at a time. */
#ifndef KESTA_GPS_CLIENT_H
#define KESTA_GPS_CLIENT_H

#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

struct kesta_gps_listener; /* opaque */

struct kesta_gps_fix {
    unsigned speed_kmh;       /* whole km/h */
    int valid;                /* 1: the receiver had a valid fix */
    struct timespec received; /* CLOCK_REALTIME when it was taken in */
};

/* Starts listening on the service's root: root NULL takes $KESTA_GPS_ROOT,
 * else /var/lib/kesta-gps. NULL with errno set on failure (EBUSY: this
 * process listens already; EACCES: neither the service's user nor in its
 * listener group; EPERM: the root's .platform belongs to a user that is not
 * the service's (KESTA_GPS_USER, else "kesta-gps"), root or the caller, or
 * others may write it). A group member started while the service is not
 * running (on a root it ran on with its group) hears it once it runs. */
struct kesta_gps_listener *kesta_gps_listen(const char *root);

/* The descriptor to poll() for input; the same number for the listener's
 * life (a group member's wakes now and then while the service is away). */
int kesta_gps_fd(const struct kesta_gps_listener *l);

/* Waits up to timeout_ms (negative: for ever) for the next broadcast.
 * 1: *fix was stored; 0: timeout; -1: error, errno set. */
int kesta_gps_next(struct kesta_gps_listener *l, struct kesta_gps_fix *fix, int timeout_ms);

/* Stops listening and frees the listener; NULL is ignored. */
void kesta_gps_close(struct kesta_gps_listener *l);

/* For tools: any registered message, by name. kesta_gps_listen_names
 * listens for `count` names (1 to 16); kesta_gps_next_message gives the
 * index of the name heard and the message's raw parameters. */
struct kesta_gps_message {
    unsigned index;
    unsigned long long wparam;
    long long lparam;
    struct timespec received;
};
/* The number of the registered message `name` (UTF-8), the same in every
 * process: see tests/data/message-numbers.txt for the rule. */
unsigned kesta_gps_message_number(const char *name);
struct kesta_gps_listener *kesta_gps_listen_names(const char *root, const char *const *names, int count);
int kesta_gps_next_message(struct kesta_gps_listener *l, struct kesta_gps_message *m, int timeout_ms);

#ifdef __cplusplus
}
#endif

#endif
