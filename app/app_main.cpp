#include "app_main.h"

#include "../clock/sync_clock.h"
#include "main_window.h"

static HANDLE s_hMutex = 0;  // held for the life of the process
static WCHAR s_szClassName[NAME_CHARS];
static WCHAR s_szTitle[NAME_CHARS];

int AppMain(HINSTANCE instance, HINSTANCE, LPWSTR, int showCommand) {
    s_hMutex = CreateMutex(0, FALSE, L"KESTA_GPS");
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(s_hMutex);
        return 0;
    }
    RestoreBackupTime();
    if (!InitMainWindow(instance, showCommand)) return 0;
    MSG msg;
    while (GetMessage(&msg, 0, 0, 0)) DispatchMessage(&msg);
    return (int)msg.wParam;
}

int InitMainWindow(HINSTANCE instance, int) {
    g_hInstance = instance;
    memset(s_szClassName, 0, sizeof(s_szClassName));
    memset(s_szTitle, 0, sizeof(s_szTitle));
    StringCchCopy(s_szClassName, NAME_CHARS, L"KESTA_GPS");
    StringCchCopy(s_szTitle, NAME_CHARS, L"KESTA_GPS");
    if (!RegisterMainClass(instance, s_szClassName)) return 0;
    HWND hwnd = CreateWindowEx(0, s_szClassName, s_szTitle, WS_VISIBLE, 0, 0, 0, 0,
                               0, 0, instance, 0);
    if (!hwnd) return 0;
    // Always hidden, whatever the launcher asked for.
    ShowWindow(hwnd, SW_HIDE);
    UpdateWindow(hwnd);
    return 1;
}

ATOM RegisterMainClass(HINSTANCE instance, LPCWSTR className) {
    WNDCLASS wc;
    wc.style = CS_VREDRAW | CS_HREDRAW;
    wc.lpfnWndProc = MainWndProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = instance;
    wc.hIcon = LoadIcon(instance, MAKEINTRESOURCE(MAIN_ICON_ID));
    wc.hCursor = 0;
    wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    wc.lpszMenuName = 0;
    wc.lpszClassName = className;
    return (ATOM)RegisterClass(&wc);
}
