// libFuzzer harness of the receiving side of the cross-process messages:
// arbitrary datagrams, as another process could send them, against a
// process with a top-level window and a child. Whatever arrives, only the
// top-level window may get anything, and only a registered message,
// WM_CLOSE, WM_DESTROY or the control tool's destroy request; nothing may
// crash.
#include "app/platform/posix/internal.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

HWND g_top = 0, g_child = 0;
int g_created = 0;

void Check(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
}

LRESULT CALLBACK Watch(HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
    if (msg == WM_CREATE) {
        ++g_created;
        return 0;
    }
    if (hwnd == g_child) {
        // Only its parent's destruction reaches the child.
        Check(msg == WM_DESTROY && !IsWindow(g_top), "nothing from another process reaches a child window");
        return 0;
    }
    bool registered = msg >= kp::kFirstRegisteredMessage && msg <= kp::kLastRegisteredMessage;
    Check(registered || msg == WM_CLOSE || msg == WM_DESTROY,
          "only registered messages, WM_CLOSE and WM_DESTROY cross processes");
    if (msg == WM_DESTROY) return 0;
    return DefWindowProc(hwnd, msg, w, l);
}

void MakeWindows() {
    g_top = CreateWindowEx(0, L"FUZZ", L"top", 0, 0, 0, 0, 0, 0, 0, 0, 0);
    g_child = CreateWindowEx(0, L"FUZZ", L"child", WS_CHILD, 0, 0, 0, 0, g_top, 0, 0, 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string root = "/dev/shm/kesta-fuzz-ipc-" + std::to_string(getpid());
    if (access("/dev/shm", W_OK) != 0) root = "/tmp/kesta-fuzz-ipc-" + std::to_string(getpid());
    mkdir(root.c_str(), 0700);
    setenv("KESTA_GPS_ROOT", root.c_str(), 1);
    WNDCLASS wc = {};
    wc.lpfnWndProc = Watch;
    wc.lpszClassName = L"FUZZ";
    RegisterClass(&wc);
    MakeWindows();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int created = g_created;
    kp::HandleDatagram(data, size);
    MSG msg;
    while (PeekMessage(&msg, 0, 0, 0, PM_REMOVE)) DispatchMessage(&msg);
    Check(g_created == created, "no window was created by a message");
    // A close or destroy request takes the windows down: make them again.
    if (!IsWindow(g_top)) MakeWindows();
    return 0;
}
