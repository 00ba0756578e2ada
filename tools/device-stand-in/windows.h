// For tools/check-device.sh only: mingw-w64's desktop <windows.h>, with
// what Compact 7's SDK declares differently put right. Never part of a
// device build, which uses the SDK's own headers.
#pragma once
// The desktop headers declare WinMain with an 8-bit command line.
#define WinMain DesktopWinMain
#include_next <windows.h>
#undef WinMain

#ifdef __cplusplus
extern "C" {
#endif
// Compact's entry takes a wide command line.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand);
// Compact's GetProcAddress takes a wide name.
FARPROC WINAPI GetProcAddressW(HMODULE module, LPCWSTR name);
#ifdef __cplusplus
}
#endif
#undef GetProcAddress
#define GetProcAddress GetProcAddressW
