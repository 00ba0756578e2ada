// The platform layer: the subset of the Windows Embedded Compact 7 core
// library (and of the IOControl NAND library) that the service uses.
//
// On the device (_WIN32_WCE) this header is a pass-through to the SDK's
// <windows.h>; on desktop Windows nearly so, a few calls going to the Win32
// backend in app/platform/win32. Elsewhere it declares the same names,
// argument orders and results, implemented by the POSIX backend in
// app/platform/posix. Code above this header speaks only its
// vocabulary: windows, posted messages, handles and the comm-port operations.
//
// This header must compile as C++03 (the Compact 7 toolchain predates C++11).
//
// Thread rules: every function may be called from any thread unless its
// comment says otherwise. Window procedures run on the thread that created
// the window, inside GetMessage/DispatchMessage or a direct send such as
// CreateWindowEx (WM_CREATE) and DestroyWindow (WM_DESTROY).
#ifndef KESTA_PLATFORM_H
#define KESTA_PLATFORM_H

#include <stddef.h>
#include <stdarg.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#include <strsafe.h>

#ifdef _WIN32_WCE
// ---- The device: Windows Embedded Compact 7 -------------------------------
// Every call is the device's own, as its SDK declares it.

// The kernel's debug print, C linkage: a wide format, "%s" wide and "%S" 8-bit.
#include <dbgapi.h>
// IOControl's NAND areas.
#include "ce/nand_area.h"

// Compact 7 replaces a window procedure through SetWindowLong at GWL_WNDPROC
// (its pointers are 32 bits wide); coredll exports no SetWindowLongPtr.
#undef SetWindowLongPtr
#undef SetWindowLongPtrA
#undef SetWindowLongPtrW
#define SetWindowLongPtr SetWindowLong

// GetOverlappedResult is the one call that Compact's coredll may lack (CE 6
// had none); imported, it would keep the program from loading at all there.
// ce/overlapped.cpp finds it at run time and, without it, waits for the
// operation on its event.
#undef GetOverlappedResult
#define GetOverlappedResult PlatformOverlappedResult
BOOL PlatformOverlappedResult(HANDLE file, OVERLAPPED* ov, DWORD* transferred, BOOL wait);
#else
// ---- What Compact 7 has and desktop Win32 has not ---------------------------
// Implemented by the Win32 backend in app/platform/win32.

// The kernel's debug print: a wide format, "%s" wide and "%S" 8-bit.
void NKDbgPrintfW(LPCWSTR format, ...);
// IOControl's NAND areas, as files under the root (see the POSIX backend).
BOOL ReadNandArea(DWORD area);
BOOL WriteNandArea(DWORD area);

// The window-procedure index by its Compact name on 64-bit Windows too.
#ifndef GWL_WNDPROC
#define GWL_WNDPROC GWLP_WNDPROC
#endif

// Where desktop Win32 differs from the device, the service's calls go to the
// backend, which gives them the device's meaning: "\" is the folder named by
// KESTA_GPS_ROOT, never a drive's root; a serial port ignores the overlapped
// flag, as Compact 7's serial driver does; the clock is simulated unless
// KESTA_GPS_CLOCK=system. The backend's own sources see the real calls.
#ifndef KESTA_WIN32_BACKEND
#undef CreateFile
#undef DeleteFile
#undef MoveFile
#define CreateFile KestaCreateFile
#define DeleteFile KestaDeleteFile
#define MoveFile KestaMoveFile
#define SetSystemTime KestaSetSystemTime
#define GetLocalTime KestaGetLocalTime
#define GetSystemTime KestaGetSystemTime
#endif
HANDLE KestaCreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                       DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL KestaDeleteFile(LPCWSTR name);
BOOL KestaMoveFile(LPCWSTR existing, LPCWSTR target);
BOOL KestaSetSystemTime(const SYSTEMTIME* utc);
void KestaGetLocalTime(SYSTEMTIME* local);
void KestaGetSystemTime(SYSTEMTIME* utc);
#endif  // !_WIN32_WCE
#else
#include <pthread.h>

// ---- Types ----------------------------------------------------------------
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef unsigned int DWORD;
typedef int LONG;
typedef int BOOL;
typedef unsigned int UINT;
typedef char CHAR;
typedef wchar_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef const CHAR* LPCSTR;
typedef void* LPVOID;
typedef long LONG_PTR;            // pointer-sized, as on Win32
typedef unsigned long ULONG_PTR;
typedef unsigned long UINT_PTR;
typedef unsigned long DWORD_PTR;
typedef unsigned long SIZE_T;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef WORD ATOM;
typedef LONG HRESULT;

typedef void* HANDLE;
struct HWND__;
typedef HWND__* HWND;
struct HINSTANCE__;
typedef HINSTANCE__* HINSTANCE;
struct HICON__;
typedef HICON__* HICON;
typedef HICON HCURSOR;
struct HBRUSH__;
typedef HBRUSH__* HBRUSH;
struct HMENU__;
typedef HMENU__* HMENU;
typedef void* HGDIOBJ;

#define WINAPI
#define CALLBACK
#define TRUE 1
#define FALSE 0
#define MAXDWORD 0xFFFFFFFFu
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define INFINITE 0xFFFFFFFFu
#define MAKEINTRESOURCE(i) ((LPCWSTR)(ULONG_PTR)(WORD)(i))
#define S_OK ((HRESULT)0)
#define STRSAFE_E_INSUFFICIENT_BUFFER ((HRESULT)0x8007007A)

typedef LRESULT (CALLBACK* WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef DWORD (WINAPI* LPTHREAD_START_ROUTINE)(LPVOID);

struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

struct POINT { LONG x; LONG y; };

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};

struct WNDCLASS {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCWSTR lpszMenuName;
    LPCWSTR lpszClassName;
};

// 16 bytes: eight unsigned 16-bit values.
struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};

struct COMSTAT {
    DWORD fFlags;    // fCtsHold .. fTxim bits; always 0 here
    DWORD cbInQue;   // bytes waiting in the driver's receive queue
    DWORD cbOutQue;  // bytes waiting to be sent
};

// The 28-byte device-control block, field for field as on Win32.
struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};

struct CRITICAL_SECTION {
    pthread_mutex_t m;
};

// ---- Constants ------------------------------------------------------------
#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_GEN_FAILURE 31
#define ERROR_SHARING_VIOLATION 32
#define ERROR_FILE_EXISTS 80
#define ERROR_INVALID_PARAMETER 87
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_ALREADY_EXISTS 183
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_OPERATION_ABORTED 995
#define ERROR_IO_INCOMPLETE 996
#define ERROR_IO_PENDING 997
#define ERROR_NO_MORE_USER_HANDLES 1158
#define ERROR_INVALID_WINDOW_HANDLE 1400
#define ERROR_TLW_WITH_WSCHILD 1406
#define ERROR_CANNOT_FIND_WND_CLASS 1407
#define ERROR_CLASS_ALREADY_EXISTS 1410
#define ERROR_TIMEOUT 1460
#define ERROR_NOT_ENOUGH_QUOTA 1816

#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 259u

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define FILE_FLAG_OVERLAPPED 0x40000000u

#define EV_RXCHAR 0x0001u
#define PURGE_TXABORT 0x0001u
#define PURGE_RXABORT 0x0002u
#define PURGE_TXCLEAR 0x0004u
#define PURGE_RXCLEAR 0x0008u
#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2
#define DTR_CONTROL_DISABLE 0
#define DTR_CONTROL_ENABLE 1
#define RTS_CONTROL_DISABLE 0
#define RTS_CONTROL_ENABLE 1
#define RTS_CONTROL_HANDSHAKE 2
#define CE_RXOVER 0x0001u
#define CE_OVERRUN 0x0002u
#define CE_RXPARITY 0x0004u
#define CE_FRAME 0x0008u

#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_COMMAND 0x0111
#define WM_USER 0x0400
#define HWND_BROADCAST ((HWND)(ULONG_PTR)0xFFFF)
#define GWL_WNDPROC (-4)
#define SW_HIDE 0
#define SW_SHOW 5
#define CS_VREDRAW 0x0001
#define CS_HREDRAW 0x0002
#define WS_CHILD 0x40000000u
#define WS_VISIBLE 0x10000000u
#define WS_CAPTION 0x00C00000u
#define WHITE_BRUSH 0
#define CP_ACP 0

// ---- Threads and synchronisation ------------------------------------------
HANDLE CreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE start, LPVOID param,
                    DWORD flags, DWORD* threadId);
BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode);
void Sleep(DWORD milliseconds);        // monotonic: unaffected by clock setting
DWORD GetTickCount(void);              // monotonic milliseconds
HANDLE CreateEvent(LPSECURITY_ATTRIBUTES sa, BOOL manualReset,
                   BOOL initialState, LPCWSTR name);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// A name already held by a live handle in any process on the same platform
// root returns a handle and sets last error ERROR_ALREADY_EXISTS.
HANDLE CreateMutex(LPSECURITY_ATTRIBUTES sa, BOOL initialOwner, LPCWSTR name);
BOOL CloseHandle(HANDLE handle);
DWORD GetLastError(void);              // per thread
void SetLastError(DWORD error);
void InitializeCriticalSection(CRITICAL_SECTION* cs);
void EnterCriticalSection(CRITICAL_SECTION* cs);
void LeaveCriticalSection(CRITICAL_SECTION* cs);

// ---- Messages -------------------------------------------------------------
// One name gives one number in 0xC000-0xFFFF, the same in every process.
UINT RegisterWindowMessage(LPCWSTR name);
// Queues the message and never waits. Posts from one thread to one window keep
// their order. HWND_BROADCAST reaches every top-level window of this process
// and of every listening process on the same platform root. A post to 0, or
// to a window that no longer exists, reaches nothing and returns FALSE.
BOOL PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int exitCode);
// Blocks for the next message of the calling thread; 0 on WM_QUIT.
BOOL GetMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax);
#define PM_NOREMOVE 0
#define PM_REMOVE 1
BOOL PeekMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT remove);
LRESULT DispatchMessage(const MSG* msg);

// ---- Windows --------------------------------------------------------------
ATOM RegisterClass(const WNDCLASS* wc);
// Delivers WM_CREATE to the class procedure before it returns; 0 on failure.
// The built-in class "static" serves child windows.
HWND CreateWindowEx(DWORD exStyle, LPCWSTR className, LPCWSTR title,
                    DWORD style, int x, int y, int width, int height,
                    HWND parent, HMENU menu, HINSTANCE instance, LPVOID param);
// Delivers WM_DESTROY to the window and then to its children. Across
// processes (a handle found by FindWindow) the destruction is requested from
// the owning process.
BOOL DestroyWindow(HWND hwnd);
BOOL IsWindow(HWND hwnd);
// Finds a top-level window of this or another process on the same platform
// root; either argument may be 0 to match any.
HWND FindWindow(LPCWSTR className, LPCWSTR title);
LRESULT DefWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT CallWindowProc(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
LONG_PTR SetWindowLongPtr(HWND hwnd, int index, LONG_PTR value);
LONG_PTR GetWindowLongPtr(HWND hwnd, int index);
BOOL SetWindowText(HWND hwnd, LPCWSTR text);
int GetWindowText(HWND hwnd, LPWSTR text, int maxCount);
BOOL ShowWindow(HWND hwnd, int showCommand);
BOOL UpdateWindow(HWND hwnd);
HICON LoadIcon(HINSTANCE instance, LPCWSTR name);
HGDIOBJ GetStockObject(int index);
HINSTANCE GetModuleHandle(LPCWSTR name);

// ---- Files and the serial device ------------------------------------------
// Paths starting with '\' map under the platform root. "COM1:" is the serial
// device; share mode 0 on it means exclusive, across processes.
HANDLE CreateFile(LPCWSTR name, DWORD access, DWORD shareMode,
                  LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                  DWORD flagsAndAttributes, HANDLE templateFile);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, DWORD* read, OVERLAPPED* ov);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* ov);
BOOL FlushFileBuffers(HANDLE file);
BOOL DeleteFile(LPCWSTR name);
// Renames a file; fails (ERROR_ALREADY_EXISTS) when the target exists, as
// the device's MoveFile does.
BOOL MoveFile(LPCWSTR existing, LPCWSTR target);

BOOL SetCommMask(HANDLE port, DWORD mask);
// Returns when an event of the mask occurs, or with *mask 0 when another
// thread changes the mask or the device goes away.
BOOL WaitCommEvent(HANDLE port, DWORD* mask, OVERLAPPED* ov);
BOOL SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue);
BOOL PurgeComm(HANDLE port, DWORD flags);
BOOL SetCommTimeouts(HANDLE port, const COMMTIMEOUTS* timeouts);
BOOL GetCommTimeouts(HANDLE port, COMMTIMEOUTS* timeouts);
BOOL GetCommState(HANDLE port, DCB* dcb);
BOOL SetCommState(HANDLE port, const DCB* dcb);
BOOL ClearCommError(HANDLE port, DWORD* errors, COMSTAT* stat);
BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* ov, DWORD* transferred, BOOL wait);

// ---- Clock ----------------------------------------------------------------
// Refuses (FALSE, ERROR_INVALID_PARAMETER) a record that is not a valid UTC
// date and time.
BOOL SetSystemTime(const SYSTEMTIME* utc);
void GetSystemTime(SYSTEMTIME* utc);
void GetLocalTime(SYSTEMTIME* local);

// ---- Debug output ---------------------------------------------------------
// Formats use the Microsoft convention: in a wide format "%s" takes a wide
// text and "%S" an 8-bit text ("%c"/"%C" likewise).
void NKDbgPrintfW(LPCWSTR format, ...);

// ---- Run-time -------------------------------------------------------------
// Always terminated within cchDest characters; a longer result is cut.
HRESULT StringCchVPrintf(LPWSTR dest, size_t cchDest, LPCWSTR format, va_list args);
HRESULT StringCchPrintf(LPWSTR dest, size_t cchDest, LPCWSTR format, ...);
HRESULT StringCchCopy(LPWSTR dest, size_t cchDest, LPCWSTR src);
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR src, int srcLen,
                        LPWSTR dest, int destLen);

// ---- IOControl: NAND areas ------------------------------------------------
// ReadNandArea dumps the area into "\NandArea_ReadData.bin"; WriteNandArea
// stores "\NandArea_WriteData.bin" into the area. Both are finished when
// they return.
BOOL ReadNandArea(DWORD area);
BOOL WriteNandArea(DWORD area);

#endif  // !_WIN32

// The application's entry function, called by the process start-up after
// static initialisation; its result is the process's exit code.
int AppMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand);

// ---- Code layout --------------------------------------------------------------
// Keeps a rarely taken step out of the per-byte function that calls it, so
// that the common path stays short.
#if defined(_MSC_VER)
#define PLATFORM_NOINLINE __declspec(noinline)
#else
#define PLATFORM_NOINLINE __attribute__((noinline))
#endif

// ---- Ordered 32-bit and pointer accesses ------------------------------------
// Whole-word loads with acquire and stores with release ordering, for values
// that two threads share without a lock.
#if defined(_WIN32_WCE)
// Compact documents no MemoryBarrier; its interlocked functions are the
// synchronisation it lists, and each is a full barrier. A load is a
// compare-exchange that stores only the value already there; a store is an
// exchange. Handles and window handles are 32 bits wide on the device.
inline LONG PlatformLoadAcquire(const volatile LONG* p) { return InterlockedCompareExchange((LONG*)p, 0, 0); }
inline void PlatformStoreRelease(volatile LONG* p, LONG v) { InterlockedExchange((LONG*)p, v); }
inline HANDLE PlatformLoadHandle(HANDLE const volatile* p) { return (HANDLE)InterlockedCompareExchange((LONG*)p, 0, 0); }
inline void PlatformStoreHandle(HANDLE volatile* p, HANDLE v) { InterlockedExchange((LONG*)p, (LONG)v); }
inline HWND PlatformLoadHwnd(HWND const volatile* p) { return (HWND)InterlockedCompareExchange((LONG*)p, 0, 0); }
inline void PlatformStoreHwnd(HWND volatile* p, HWND v) { InterlockedExchange((LONG*)p, (LONG)v); }
#elif defined(_WIN32)
inline LONG PlatformLoadAcquire(const volatile LONG* p) { LONG v = *p; MemoryBarrier(); return v; }
inline void PlatformStoreRelease(volatile LONG* p, LONG v) { MemoryBarrier(); *p = v; }
inline HANDLE PlatformLoadHandle(HANDLE const volatile* p) { HANDLE v = *p; MemoryBarrier(); return v; }
inline void PlatformStoreHandle(HANDLE volatile* p, HANDLE v) { MemoryBarrier(); *p = v; }
inline HWND PlatformLoadHwnd(HWND const volatile* p) { HWND v = *p; MemoryBarrier(); return v; }
inline void PlatformStoreHwnd(HWND volatile* p, HWND v) { MemoryBarrier(); *p = v; }
#else
inline LONG PlatformLoadAcquire(const volatile LONG* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
inline void PlatformStoreRelease(volatile LONG* p, LONG v) { __atomic_store_n(p, v, __ATOMIC_RELEASE); }
inline HANDLE PlatformLoadHandle(HANDLE const volatile* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
inline void PlatformStoreHandle(HANDLE volatile* p, HANDLE v) { __atomic_store_n(p, v, __ATOMIC_RELEASE); }
inline HWND PlatformLoadHwnd(HWND const volatile* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
inline void PlatformStoreHwnd(HWND volatile* p, HWND v) { __atomic_store_n(p, v, __ATOMIC_RELEASE); }
#endif

#endif  // KESTA_PLATFORM_H
