// Process start-up on Windows: checks that the root can hold the service's
// files, then hands the start arguments to AppMain, whose result is the exit
// code.
#define KESTA_WIN32_BACKEND
#include "../platform.h"

#include <cstdio>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand) {
    // "\" must be a folder: made when missing, as the device always has one.
    wchar_t root[1024];
    DWORD n = GetEnvironmentVariableW(L"KESTA_GPS_ROOT", root, 1024);
    if (n > 0 && n < 1024) {
        CreateDirectoryW(root, 0);
        DWORD attributes = GetFileAttributesW(root);
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            fwprintf(stderr, L"kesta-gps: cannot keep its state in the root %ls (KESTA_GPS_ROOT): not a folder\n", root);
            return 1;
        }
    }
    return AppMain(instance, previous, commandLine, showCommand);
}
