// kesta-gps-listen for Windows: hears the service's broadcast the way any
// other program on the device does, through a hidden top-level window. (On
// Linux the tool uses the client library instead: listen.cpp.)
//
// Prints one line per broadcast of each registered message NAME (default
// "KESTA_GPS"): local time, name, wParam, lParam. With --json, JSON lines.
#include "args.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Watched {
    std::string name;
    UINT msg;
};

std::vector<Watched> g_watched;
bool g_json = false;
long g_left = -1;  // messages still to print; -1 for no limit

LRESULT CALLBACK ListenProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    for (const Watched& w : g_watched) {
        if (w.msg != msg) continue;
        SYSTEMTIME t;
        GetLocalTime(&t);
        char when[64];
        snprintf(when, sizeof when, "%04u-%02u-%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay,
                 t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
        if (g_json)
            printf("{\"time\":\"%s\",\"name\":\"%s\",\"wParam\":%lu,\"lParam\":%ld}\n", when, w.name.c_str(),
                   (unsigned long)wParam, (long)lParam);
        else
            printf("%s %s wParam=%lu lParam=%ld\n", when, w.name.c_str(), (unsigned long)wParam, (long)lParam);
        fflush(stdout);
        if (g_left > 0 && --g_left == 0) DestroyWindow(hwnd);
        return 0;
    }
    if (msg == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProc(hwnd, msg, wParam, lParam);
}

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

const char* kUsage =
    "usage: kesta-gps-listen [--json] [--seconds N] [--count N] [NAME ...]\n"
    "Prints every broadcast of the registered messages NAME (default KESTA_GPS), as any program\n"
    "on the device would receive it: local time, name, wParam, lParam.\n"
    "  --json        one JSON object a line\n"
    "  --seconds N   stop after N seconds (0.001-31536000)\n"
    "  --count N     stop after N broadcasts (1-2147483647)\n";

}  // namespace

int main(int argc, char** argv) {
    ArgReader args("kesta-gps-listen", kUsage, argc, argv);
    double seconds = 0;
    std::vector<std::string> names;
    while (args.Next()) {
        if (args.Is("--json")) g_json = true;
        else if (args.Is("--seconds")) seconds = args.Double(0.001, 31536000);
        else if (args.Is("--count")) g_left = (long)args.Long(1, 2147483647L);
        else if (args.IsOption()) args.Unknown();
        else if (!*args.Arg()) args.Fail("a message NAME cannot be empty");
        else names.push_back(args.Arg());
    }
    if (names.empty()) names.push_back("KESTA_GPS");
    for (const std::string& n : names) g_watched.push_back({n, RegisterWindowMessage(Wide(n).c_str())});

    WNDCLASS wc = {};
    wc.lpfnWndProc = ListenProc;
    wc.lpszClassName = L"KESTA_GPS_LISTEN";
    RegisterClass(&wc);
    HWND hwnd = CreateWindowEx(0, L"KESTA_GPS_LISTEN", L"KESTA_GPS_LISTEN", 0, 0, 0, 0, 0, 0, 0,
                               GetModuleHandle(nullptr), nullptr);
    if (!hwnd) {
        fprintf(stderr, "kesta-gps-listen: cannot create the listening window\n");
        return 1;
    }
    fprintf(stderr, "kesta-gps-listen: listening for %s\n", names[0].c_str());
    if (seconds > 0) {
        std::thread([hwnd, seconds] {
            Sleep((DWORD)(seconds * 1000));
            PostMessage(hwnd, WM_CLOSE, 0, 0);
        }).detach();
    }
    MSG msg;
    while (GetMessage(&msg, 0, 0, 0)) DispatchMessage(&msg);
    return 0;
}
