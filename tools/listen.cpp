// kesta-gps-listen: prints the service's broadcast as any program on the
// device hears it, through the client library.
//
// Prints one line per broadcast of each registered message NAME (default
// "KESTA_GPS"): local time, name, wParam, lParam. With --json, JSON lines.
#include "listen_options.h"
#include "client/kesta_gps_client.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

long long NowMs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

}  // namespace

int main(int argc, char** argv) {
    ListenOptions o = ParseListenOptions(argc, argv);
    long left = o.count;
    const std::vector<std::string>& names = o.names;
    std::vector<const char*> raw;
    for (const std::string& n : names) raw.push_back(n.c_str());
    kesta_gps_listener* l = kesta_gps_listen_names(nullptr, raw.data(), (int)raw.size());
    if (!l) {
        const char* root = getenv("KESTA_GPS_ROOT");
        int e = errno;
        const char* at = root && *root ? root : "/var/lib/kesta-gps";
        // EACCES has two causes: .platform is closed to this user (not in the
        // group), or it is open and the socket is not (the service opens it
        // to no group).
        std::string platform = std::string(at) + "/.platform";
        bool entered = access(platform.c_str(), X_OK) == 0;
        fprintf(stderr, "kesta-gps-listen: cannot listen on %s: %s%s\n", at, strerror(e),
                e == EACCES && entered ? " (its socket is not open to you: the service runs without a listener group)"
                : e == EACCES          ? " (neither the service's user nor in its listener group)"
                : e == EPERM ? " (its .platform is not the service's, or others may write it)"
                : e == ESRCH ? " (no KESTA_GPS service has run on this root)"
                             : "");
        return 1;
    }
    signal(SIGTERM, OnSignal);
    signal(SIGINT, OnSignal);
    fprintf(stderr, "kesta-gps-listen: listening for %s\n", names[0].c_str());
    long long end = o.seconds > 0 ? NowMs() + (long long)(o.seconds * 1000) : -1;
    int code = 0;
    bool away = false;
    while (!g_stop && left != 0) {
        long long wait = end < 0 ? 500 : end - NowMs();
        if (end >= 0 && wait <= 0) break;
        kesta_gps_message m;
        int r = kesta_gps_next_message(l, &m, (int)(wait < 500 ? wait : 500));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno == ENOTCONN) {
            if (!away) fprintf(stderr, "kesta-gps-listen: the service has stopped; waiting for it\n");
            away = true;
            continue;
        }
        if (r < 0) {
            fprintf(stderr, "kesta-gps-listen: %s\n", strerror(errno));
            code = 1;
            break;
        }
        if (r == 0) continue;
        away = false;
        tm t;
        time_t secs = m.received.tv_sec;
        localtime_r(&secs, &t);
        char when[64];
        snprintf(when, sizeof when, "%04d-%02d-%02d %02d:%02d:%02d.%03ld", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                 t.tm_hour, t.tm_min, t.tm_sec, m.received.tv_nsec / 1000000);
        const char* name = names[m.index].c_str();
        if (o.json)
            printf("{\"time\":\"%s\",\"name\":\"%s\",\"wParam\":%llu,\"lParam\":%lld}\n", when, name, m.wparam,
                   m.lparam);
        else
            printf("%s %s wParam=%llu lParam=%lld\n", when, name, m.wparam, m.lparam);
        fflush(stdout);
        if (left > 0) --left;
    }
    kesta_gps_close(l);
    return code;
}
