// kesta-gps-ctl: finds the running service by its window title and asks it
// to close its port (close) or to end (destroy).
//
//   kesta-gps-ctl close|destroy
#include "args.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#ifndef _WIN32
#include <cerrno>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#endif

static const char kUsage[] =
    "usage: kesta-gps-ctl close|destroy\n"
    "  close     the service closes its port and stays (WM_CLOSE)\n"
    "  destroy   the service ends with exit code 0 (its window is destroyed)\n"
    "Exit code 1 when no service runs under this KESTA_GPS_ROOT.\n";

int main(int argc, char** argv) {
    ArgReader args("kesta-gps-ctl", kUsage, argc, argv);
    const char* what = nullptr;
    while (args.Next()) {
        if (!what && (args.Is("close") || args.Is("destroy"))) what = args.Arg();
        else args.Unknown();
    }
    if (!what) args.Fail("say close or destroy");
    HWND hwnd = FindWindow(L"KESTA_GPS", L"KESTA_GPS");
    if (!hwnd) {
        const char* root = getenv("KESTA_GPS_ROOT");
#ifndef _WIN32
        // The service's windows are listed where only its user (and root)
        // may look: another user cannot tell whether it runs.
        std::string platform = std::string(root && *root ? root : "/var/lib/kesta-gps") + "/.platform";
        struct stat st;
        bool seen = lstat(platform.c_str(), &st) == 0;
        if (geteuid() != 0 && ((seen && st.st_uid != geteuid()) || (!seen && errno == EACCES))) {
            std::string who = seen ? " (uid " + std::to_string((unsigned)st.st_uid) + ")" : "";
            fprintf(stderr,
                    "kesta-gps-ctl: only the service's user%s or root may find or control the service on %s; "
                    "a listener group member learns whether it runs from its listener\n",
                    who.c_str(), platform.c_str());
            return 1;
        }
#endif
        fprintf(stderr, "kesta-gps-ctl: no running KESTA_GPS service found (platform root %s)\n",
                root && *root ? root : "/var/lib/kesta-gps");
        return 1;
    }
    bool close = strcmp(what, "close") == 0;
    BOOL ok = close ? PostMessage(hwnd, WM_CLOSE, 0, 0) : DestroyWindow(hwnd);
    // Desktop Win32 destroys only a thread's own windows: there the window's
    // own thread is asked to run its destruction.
    if (!ok && !close) ok = PostMessage(hwnd, WM_DESTROY, 0, 0);
    if (!ok) {
        fprintf(stderr, "kesta-gps-ctl: the service did not take the request\n");
        return 1;
    }
    return 0;
}
