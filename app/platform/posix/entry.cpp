// Process start-up on Linux: hands the four start arguments to AppMain, and
// turns SIGTERM and SIGINT into the destruction of the process's top-level
// windows, so that a service manager's stop runs WM_DESTROY and the process
// ends with AppMain's exit code.
#include "internal.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <ctime>
#include <string>
#include <thread>
#include <unistd.h>

// The longest paths the backend makes under the root: a process's socket
// (the largest pid Linux gives) and a window registry entry being written.
static const char kLongestSocket[] = "/.platform/ipc/4194304.sock";
static const char kLongestEntry[] = "/.platform/win/4194304-ffffffffffffffff.tmp";
static const size_t kSocketChars = sizeof(sockaddr_un().sun_path);

// Whether another user could have changed the root or its .platform under
// the service: a root others may write (unless sticky: nobody then removes
// another's entries) or one that belongs to a user other than the service's
// or root, a link another user made, and a .platform that is not this
// user's own folder (another's lock, NAND area or registry would be taken
// for the service's own). Says why in `reason`.
static bool RootIsSafe(const kp::Path& root, char* reason, size_t size) {
    struct stat st, link;
    uid_t me = geteuid();
    kp::Path platform = root;
    if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return true;  // said by the caller
    if (lstat(root.c_str(), &link) == 0 && S_ISLNK(link.st_mode) && link.st_uid != me && link.st_uid != 0)
        snprintf(reason, size, "it is a link made by user %u", (unsigned)link.st_uid);
    else if (st.st_uid != me && st.st_uid != 0)
        snprintf(reason, size, "it belongs to user %u, neither the service's nor root", (unsigned)st.st_uid);
    else if ((st.st_mode & 0022) && !(st.st_mode & S_ISVTX))
        snprintf(reason, size, "others than its user may write it (mode %04o): take their write off, or make it "
                 "sticky", (unsigned)(st.st_mode & 07777));
    else if (!platform.Append("/.platform") || lstat(platform.c_str(), &link) != 0)
        return true;  // made by the service, privately
    else if (S_ISLNK(link.st_mode) || !S_ISDIR(link.st_mode))
        snprintf(reason, size, "its .platform is a link or not a folder");
    else if (link.st_uid != me)
        snprintf(reason, size, "its .platform belongs to user %u, not to the service's", (unsigned)link.st_uid);
    else
        return true;
    return false;
}

// The root must hold the backend's state: without a named mutex two
// instances would run on one port, without its socket the service is deaf to
// the control tool and its listeners, and without the folder no marker, NAND
// record or backup is written. Says why on stderr when it cannot.
static bool CheckRoot() {
    kp::Path root, dir, guard;
    const char* why = nullptr;
    char reason[256] = "";
    struct stat st;
    if (!kp::RootPath(&root) || root.n + sizeof kLongestEntry + 64 > kp::Path::kCapacity) {
        why = "the path is too long";
    } else if (root.n + sizeof kLongestSocket > kSocketChars) {
        snprintf(reason, sizeof reason, "the path is too long for the backend's sockets (%zu bytes at most)",
                 kSocketChars - sizeof kLongestSocket);
    } else if (!RootIsSafe(root, reason, sizeof reason)) {
    } else if (!kp::StateDir("mutex", &dir) || !(guard = dir).Append("/.guard")) {
        why = "the path is too long";
    } else if (stat(root.c_str(), &st) != 0) {
        snprintf(reason, sizeof reason, "%s", strerror(errno));
    } else if (!S_ISDIR(st.st_mode)) {
        why = "it is not a folder";
    } else if (!RootIsSafe(root, reason, sizeof reason)) {
        // Checked again once made: another user may have made it first.
    } else {
        int fd = open(guard.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) snprintf(reason, sizeof reason, "cannot make %s: %s", guard.c_str(), strerror(errno));
        else close(fd);
    }
    if (!why && !reason[0]) return true;
    fprintf(stderr, "kesta-gps: cannot keep its state in the root %s (KESTA_GPS_ROOT): %s\n", root.c_str(),
            why ? why : reason);
    return false;
}

static const char kHelp[] =
    "usage: kesta-gps [--help | --version]\n"
    "The KESTA_GPS service: reads the GPS receiver on COM1, broadcasts speed and fix\n"
    "validity to every listener, sets the clock from GPS time and configures the receiver.\n"
    "It takes no arguments; it is set up through the environment:\n"
    "  KESTA_GPS_ROOT          the folder that stands for the device's root (/var/lib/kesta-gps)\n"
    "  KESTA_GPS_COM1          the receiver's serial device (/dev/ttyS0)\n"
    "  KESTA_GPS_CLOCK         system: set this machine's clock; simulated (the default): an offset\n"
    "  KESTA_GPS_LISTEN_GROUP  a group (a name, or the number of one) whose programs may hear the broadcast\n"
    "SIGTERM or SIGINT ends it as the device's shutdown would.\n";

// The service takes no command line; --help and --version answer here and
// start nothing, anything else is refused.
static int Arguments(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) {
            fputs(kHelp, stdout);
            return 0;
        }
        if (!strcmp(argv[i], "--version")) {
            printf("kesta-gps %s\n", KESTA_GPS_VERSION);
            return 0;
        }
    }
    if (argc < 2) return -1;
    fprintf(stderr, "kesta-gps: unexpected argument '%s': the service takes none (see kesta-gps --help)\n", argv[1]);
    return 2;
}

// KESTA_GPS_CLOCK mistyped would quietly leave the clock simulated.
static bool CheckClock() {
    const char* v = getenv("KESTA_GPS_CLOCK");
    if (!v || !*v || !strcmp(v, "system") || !strcmp(v, "simulated")) return true;
    fprintf(stderr, "kesta-gps: KESTA_GPS_CLOCK='%s' is neither 'system' nor 'simulated'\n", v);
    return false;
}

int main(int argc, char** argv) {
    int answered = Arguments(argc, argv);
    if (answered >= 0) return answered;
    const char* group = getenv("KESTA_GPS_LISTEN_GROUP");
    char why[512];
    if (!CheckClock()) return 1;
    bool opened = kp::IpcOpenToGroup(group, false, why, sizeof why);
    if (opened && !CheckRoot()) return 1;
    if (!opened || !kp::IpcOpenToGroup(group, true, why, sizeof why)) {
        fprintf(stderr, "kesta-gps: KESTA_GPS_LISTEN_GROUP='%s': %s\n", group, why);
        return 1;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    // Blocked here, before any thread starts, so that every thread inherits
    // the mask and only the waiter below takes these signals.
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
    std::thread([stop] {
        for (;;) {
            int sig = 0;
            if (sigwait(&stop, &sig) != 0) continue;
            if (kp::AnyTopLevel())
                kp::DestroyRequestAllTopLevel();
            else
                _exit(128 + sig);  // nothing to destroy yet
        }
    }).detach();

    // The time zone is read once here: the first local time after start-up
    // must not load it (it allocates).
    tzset();
    time_t now = time(nullptr);
    tm local;
    localtime_r(&now, &local);

    wchar_t commandLine[1] = {0};
    return AppMain(GetModuleHandle(nullptr), nullptr, commandLine, SW_SHOW);
}
