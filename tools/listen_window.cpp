// kesta-gps-listen for Windows: hears the service's broadcast the way any
// other program on the device does, through a hidden top-level window. (On
// Linux the tool uses the client library instead: listen.cpp.)
//
// Prints one line per broadcast of each registered message NAME (default
// "KESTA_GPS"): local time, name, wParam, lParam. With --json, JSON lines.
#include "listen_options.h"
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

}  // namespace

int main(int argc, char** argv) {
    ListenOptions o = ParseListenOptions(argc, argv);
    g_json = o.json;
    g_left = o.count;
    double seconds = o.seconds;
    const std::vector<std::string>& names = o.names;
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
