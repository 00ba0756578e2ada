// The Win32 backend: desktop Windows (and Wine) already has nearly all of
// the Compact 7 core library the service uses. What it lacks, or where its
// meaning differs from the device's, is here:
//   - the kernel debug print, to the debugger and to stderr as UTF-8;
//   - IOControl's NAND areas, as files under the root, laid out as the POSIX
//     backend lays them out (.platform\nand\area<N>.bin, 4096 bytes, blank 0xFF);
//   - "\" as the folder named by KESTA_GPS_ROOT, never a drive's root;
//   - a serial port opened without FILE_FLAG_OVERLAPPED: Compact 7's serial
//     driver ignores the flag, and the service writes its UBX frames without
//     a completion record, which desktop Win32 refuses on an overlapped handle
//     (ERROR_INVALID_PARAMETER);
//   - the system clock, simulated (an offset) unless KESTA_GPS_CLOCK=system.
#define KESTA_WIN32_BACKEND
#include "../platform.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace {

const DWORD kAreaSize = 4096;
const DWORD kAreaCount = 16;
const size_t kPathChars = 1024;

// The device's "\": KESTA_GPS_ROOT, or a folder under the common application
// data; without a trailing backslash.
bool RootPath(wchar_t* out, size_t cap) {
    DWORD n = GetEnvironmentVariableW(L"KESTA_GPS_ROOT", out, (DWORD)cap);
    if (n == 0 || n >= cap) {
        wchar_t base[MAX_PATH];
        DWORD m = GetEnvironmentVariableW(L"ProgramData", base, MAX_PATH);
        if (m == 0 || m >= MAX_PATH) wcscpy(base, L"C:\\ProgramData");
        if (FAILED(StringCchPrintfW(out, cap, L"%s\\kesta-gps", base))) return false;
        n = (DWORD)wcslen(out);
    }
    while (n > 0 && (out[n - 1] == L'\\' || out[n - 1] == L'/')) out[--n] = 0;
    // "C:" alone would be a drive's root again.
    return n > 2;
}

// "COMn:" to the serial device, "\A\B" (or "A\B") to a file under the root.
bool MapName(LPCWSTR name, wchar_t* out, size_t cap, bool* isComm) {
    *isComm = false;
    if (!name) return false;
    size_t len = wcslen(name);
    if (len >= 5 && wcsncmp(name, L"COM", 3) == 0 && name[len - 1] == L':') {
        size_t i = 3;
        while (i < len - 1 && name[i] >= L'0' && name[i] <= L'9') ++i;
        if (i == len - 1) {
            *isComm = true;
            return SUCCEEDED(StringCchPrintfW(out, cap, L"\\\\.\\%.*s", (int)(len - 1), name));
        }
    }
    wchar_t root[kPathChars];
    if (!RootPath(root, kPathChars)) return false;
    return SUCCEEDED(StringCchPrintfW(out, cap, name[0] == L'\\' ? L"%s%s" : L"%s\\%s", root, name));
}

bool UseSystemClock() {
    wchar_t v[16];
    DWORD n = GetEnvironmentVariableW(L"KESTA_GPS_CLOCK", v, 16);
    return n > 0 && n < 16 && wcscmp(v, L"system") == 0;
}

// The simulated clock's offset to the real one, in 100 ns units.
volatile LONGLONG g_offset = 0;

ULONGLONG Now() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    ULARGE_INTEGER u;
    u.LowPart = ft.dwLowDateTime;
    u.HighPart = ft.dwHighDateTime;
    return u.QuadPart + (ULONGLONG)InterlockedCompareExchange64(&g_offset, 0, 0);
}

bool ToSystemTime(ULONGLONG when, SYSTEMTIME* st) {
    FILETIME ft;
    ft.dwLowDateTime = (DWORD)when;
    ft.dwHighDateTime = (DWORD)(when >> 32);
    return FileTimeToSystemTime(&ft, st) != 0;
}

bool WriteAll(HANDLE h, const void* data, DWORD size) {
    DWORD done = 0;
    return WriteFile(h, data, size, &done, 0) && done == size;
}

// Opens NAND area n, creating it blank (all 0xFF) the first time.
HANDLE OpenArea(DWORD area) {
    wchar_t path[kPathChars];
    bool comm;
    if (!MapName(L"\\.platform", path, kPathChars, &comm)) return INVALID_HANDLE_VALUE;
    CreateDirectoryW(path, 0);
    if (!MapName(L"\\.platform\\nand", path, kPathChars, &comm)) return INVALID_HANDLE_VALUE;
    CreateDirectoryW(path, 0);
    wchar_t name[64];
    StringCchPrintfW(name, 64, L"\\.platform\\nand\\area%u.bin", (unsigned)area);
    if (!MapName(name, path, kPathChars, &comm)) return INVALID_HANDLE_VALUE;
    HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
    if (h != INVALID_HANDLE_VALUE) return h;
    h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, 0);
    if (h == INVALID_HANDLE_VALUE) return h;
    BYTE blank[kAreaSize];
    memset(blank, 0xFF, sizeof blank);
    if (!WriteAll(h, blank, sizeof blank)) {
        CloseHandle(h);
        return INVALID_HANDLE_VALUE;
    }
    SetFilePointer(h, 0, 0, FILE_BEGIN);
    return h;
}

}  // namespace

HANDLE KestaCreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                       DWORD disposition, DWORD flags, HANDLE templateFile) {
    wchar_t path[kPathChars];
    bool isComm = false;
    if (!MapName(name, path, kPathChars, &isComm)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    if (isComm) flags &= ~(DWORD)FILE_FLAG_OVERLAPPED;
    return CreateFileW(path, access, share, security, disposition, flags, templateFile);
}

BOOL KestaDeleteFile(LPCWSTR name) {
    wchar_t path[kPathChars];
    bool isComm = false;
    if (!MapName(name, path, kPathChars, &isComm) || isComm) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return DeleteFileW(path);
}

BOOL KestaMoveFile(LPCWSTR existing, LPCWSTR target) {
    wchar_t from[kPathChars], to[kPathChars];
    bool c1 = false, c2 = false;
    if (!MapName(existing, from, kPathChars, &c1) || !MapName(target, to, kPathChars, &c2) || c1 || c2) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // The device's MoveFile, which never replaces the target, written
    // through: the rename is on disk when the call returns.
    return MoveFileExW(from, to, MOVEFILE_WRITE_THROUGH);
}

// Windows refuses a day the month does not have; Wine's
// SystemTimeToFileTime takes 29 February of every fourth year, 2100 too.
bool DayInMonth(const SYSTEMTIME* t) {
    static const WORD kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (t->wMonth < 1 || t->wMonth > 12 || t->wDay < 1) return false;
    bool leap = (t->wYear % 4 == 0 && t->wYear % 100 != 0) || t->wYear % 400 == 0;
    return t->wDay <= kDays[t->wMonth - 1] + (t->wMonth == 2 && leap ? 1 : 0);
}

BOOL KestaSetSystemTime(const SYSTEMTIME* utc) {
    if (utc && !DayInMonth(utc)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (UseSystemClock()) return SetSystemTime(utc);
    FILETIME ft;
    if (!utc || !SystemTimeToFileTime(utc, &ft)) {  // validates the rest
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ULARGE_INTEGER want;
    want.LowPart = ft.dwLowDateTime;
    want.HighPart = ft.dwHighDateTime;
    FILETIME real;
    GetSystemTimeAsFileTime(&real);
    ULARGE_INTEGER r;
    r.LowPart = real.dwLowDateTime;
    r.HighPart = real.dwHighDateTime;
    InterlockedExchange64(&g_offset, (LONGLONG)(want.QuadPart - r.QuadPart));
    return TRUE;
}

void KestaGetSystemTime(SYSTEMTIME* utc) {
    if (!utc) return;
    if (UseSystemClock() || !ToSystemTime(Now(), utc)) GetSystemTime(utc);
}

void KestaGetLocalTime(SYSTEMTIME* local) {
    if (!local) return;
    SYSTEMTIME utc;
    if (UseSystemClock() || !ToSystemTime(Now(), &utc) || !SystemTimeToTzSpecificLocalTime(0, &utc, local))
        GetLocalTime(local);
}

void NKDbgPrintfW(LPCWSTR format, ...) {
    wchar_t line[4096];
    va_list ap;
    va_start(ap, format);
    StringCchVPrintfW(line, sizeof line / sizeof line[0], format, ap);
    va_end(ap);
    OutputDebugStringW(line);
    char out[sizeof line / sizeof line[0] * 3];
    int n = WideCharToMultiByte(CP_UTF8, 0, line, -1, out, sizeof out, 0, 0);
    if (n > 1) {
        DWORD done = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), out, (DWORD)(n - 1), &done, 0);
    }
}

BOOL ReadNandArea(DWORD area) {
    if (area >= kAreaCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    HANDLE h = OpenArea(area);
    if (h == INVALID_HANDLE_VALUE) return FALSE;
    BYTE data[kAreaSize];
    DWORD got = 0;
    BOOL ok = ReadFile(h, data, sizeof data, &got, 0) && got == sizeof data;
    CloseHandle(h);
    if (!ok) return FALSE;
    HANDLE out = KestaCreateFile(L"\\NandArea_ReadData.bin", GENERIC_WRITE, 0, 0, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, 0);
    if (out == INVALID_HANDLE_VALUE) return FALSE;
    ok = WriteAll(out, data, sizeof data);
    CloseHandle(out);
    return ok;
}

BOOL WriteNandArea(DWORD area) {
    if (area >= kAreaCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    HANDLE in = KestaCreateFile(L"\\NandArea_WriteData.bin", GENERIC_READ, 0, 0, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, 0);
    if (in == INVALID_HANDLE_VALUE) return FALSE;
    BYTE data[kAreaSize];
    DWORD got = 0;
    BOOL ok = ReadFile(in, data, sizeof data, &got, 0);
    CloseHandle(in);
    if (!ok) return FALSE;
    HANDLE h = OpenArea(area);
    if (h == INVALID_HANDLE_VALUE) return FALSE;
    // The file's bytes replace the start of the area; the rest is kept.
    ok = (got == 0 || WriteAll(h, data, got)) && FlushFileBuffers(h);
    CloseHandle(h);
    return ok;
}
