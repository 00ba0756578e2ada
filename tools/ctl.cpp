// kesta-gps-ctl: finds the running service by its window title and asks it
// to close its port (close) or to end (destroy).
//
//   kesta-gps-ctl close|destroy
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 2 || (strcmp(argv[1], "close") && strcmp(argv[1], "destroy"))) {
        fprintf(stderr, "usage: kesta-gps-ctl close|destroy\n");
        return 2;
    }
    HWND hwnd = FindWindow(L"KESTA_GPS", L"KESTA_GPS");
    if (!hwnd) {
        const char* root = getenv("KESTA_GPS_ROOT");
        fprintf(stderr, "kesta-gps-ctl: no running KESTA_GPS service found (platform root %s)\n",
                root && *root ? root : "/var/lib/kesta-gps");
        return 1;
    }
    BOOL ok = strcmp(argv[1], "close") == 0 ? PostMessage(hwnd, WM_CLOSE, 0, 0) : DestroyWindow(hwnd);
    if (!ok) {
        fprintf(stderr, "kesta-gps-ctl: the service did not take the request\n");
        return 1;
    }
    return 0;
}
