// Shared pieces of the POSIX backend. Nothing outside app/platform/posix
// includes this file.
#pragma once

#include "../platform.h"

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <termios.h>

namespace kp {

// ---- Paths ----
// A file system path in a fixed buffer, so that the paths the live service
// touches allocate nothing. Append refuses (and returns false) rather than
// cut a path that would not fit.
struct Path {
    enum { kCapacity = 4096 };
    char s[kCapacity];
    size_t n;
    Path() : n(0) { s[0] = 0; }
    bool Append(const char* text, size_t len);
    bool Append(const char* text) { return Append(text, strlen(text)); }
    bool AppendNumber(unsigned long long v);
    const char* c_str() const { return s; }
};

// ---- Configuration from the environment ----
// KESTA_GPS_ROOT: the folder that "\" maps to (default /var/lib/kesta-gps).
bool RootPath(Path* out);
// Folder for the backend's own state under the root (sockets, window
// registry, mutex locks, NAND areas); made on demand, private to the user.
bool StateDir(const char* sub, Path* out);
// Maps "\A\B" (or "A\B") under the root; "COMn:" to the serial device.
bool MapPath(LPCWSTR name, Path* out, bool* isComm);

// ---- Text ----
// UTF-8 of at most maxChars wide characters into out (cap bytes, always
// terminated); the number of bytes written.
size_t ToUtf8(const WCHAR* text, char* out, size_t cap, size_t maxChars = (size_t)-1);
std::string ToUtf8(const WCHAR* text);
std::wstring FromUtf8(const std::string& text);

// ---- Crash tests ----
// Called after each step of the file layer (create, write, flush, close,
// delete, rename). With KESTA_GPS_FILE_FAULT=N in the environment the process
// ends at once after the Nth step, as a crash or a power cut there would, so
// that tests can check what every such cut leaves on disk.
void FileStepDone();

// ---- Files ----
// open(2) for a file the service keeps in the root: never blocks (a FIFO
// planted there would hold the caller for ever) and gives a descriptor only
// for a regular file; anything else is refused as a missing file would be
// (errno ENOENT). The descriptor is blocking again when returned.
int OpenRegular(const char* path, int flags, int mode = 0600);
// Writes all n bytes to fd, again after a signal; false on an error.
bool WriteAll(int fd, const void* data, size_t n);

// ---- Errors ----
void SetErrno(int err);  // last error from an errno value

// A line of the backend's own ("platform: ..."), printf-style, on the debug
// output: never blocks, like the service's lines, and keeps their order.
void BackendLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---- Handles ----
// Handle values are never reused within a process, so a thread that still
// holds a closed handle's value can never reach an object opened later.
struct Object {
    virtual ~Object() {}
    // Called by CloseHandle when the handle is removed from the table; the
    // object itself lives on while an operation in progress holds it.
    virtual void OnClose() {}
};
HANDLE AddHandle(std::shared_ptr<Object> obj);
// A plain file is kept in the table as its descriptor alone: opening and
// closing one allocates nothing.
HANDLE AddFileHandle(int fd);
int FileDescriptor(HANDLE h);  // -1 when h is not an open file
std::shared_ptr<Object> GetObject(HANDLE h);
template <class T>
std::shared_ptr<T> Get(HANDLE h) {
    return std::dynamic_pointer_cast<T>(GetObject(h));
}

// ---- Handle values ----
// Objects in a fixed table of `slots` entries get handles counting up by 4
// from `first`: slot + slots * generation, where a slot's generation grows
// each time it is taken, so no value is ever handed out twice in a process.
inline uintptr_t HandleValue(uintptr_t first, unsigned slots, uintptr_t generation, unsigned slot) {
    return first + 4 * (generation * slots + slot);
}
// The slot that value would name, or -1 for a value no handle of the table
// has (null among them). The caller compares the slot's handle with value.
inline int HandleSlot(uintptr_t first, unsigned slots, uintptr_t value) {
    if (value < first || (value - first) % 4 != 0) return -1;
    return (int)((value - first) / 4 % slots);
}

// ---- Windows ----
// Registered message numbers (RegisterWindowMessage) are in this range.
enum { kFirstRegisteredMessage = 0xC000, kLastRegisteredMessage = 0xFFFF };
// Asks the owning thread of every top-level window of this process to
// destroy it.
void DestroyRequestAllTopLevel();
bool AnyTopLevel();
// For the policy of what other processes may ask (other_processes.cpp).
bool IsLocalTopLevel(HWND hwnd);
bool PostDestroyRequest(HWND hwnd);
void PostToLocalTopLevel(UINT msg, WPARAM wParam, LPARAM lParam);

// ---- Cross-process side ----
enum IpcKind { IPC_POST = 1, IPC_DESTROY = 2 };
void IpcRegisterWindow(HWND hwnd, const std::wstring& cls, const std::wstring& title);
void IpcUnregisterWindow(HWND hwnd);
void IpcBroadcast(UINT msg, WPARAM wParam, LPARAM lParam);
bool IpcSend(long pid, uint64_t hwnd, IpcKind kind, UINT msg, WPARAM wParam, LPARAM lParam);
// What another process asked of this one, for the window side to check and
// carry out; false refuses it. Set once this process has a top-level window.
typedef bool (*IpcReceiver)(IpcKind kind, uint64_t hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
void IpcSetReceiver(IpcReceiver receiver);
// The window side's receiver (other_processes.cpp): checks what another
// process asked and carries it out.
bool ReceiveFromOtherProcess(IpcKind kind, uint64_t target, UINT msg, WPARAM wParam, LPARAM lParam);
// KESTA_GPS_LISTEN_GROUP: lets programs of that group (a name, or the number
// of a group that exists) hear the broadcast, through the service's socket
// <root>/.platform/listen.sock, and nothing else. Called at start, first to
// check the group (apply false: nothing is made), then to open the socket to
// it; false with a reason when the group is unknown or the root cannot be
// opened to it.
bool IpcOpenToGroup(const char* group, bool apply, char* why, size_t whySize);
// Sends one broadcast packet on every connection of the listener group,
// without waiting; nothing when no group was opened.
void IpcBroadcastToGroup(const void* packet, size_t size);
// One datagram from another process: decoded and handed to the receiver,
// or dropped and counted. Called by the receiving thread.
void HandleDatagram(const void* data, size_t size);
// Finds a top-level window of another live process; pid and its own handle.
bool IpcFind(const std::wstring* cls, const std::wstring* title, long* pid, uint64_t* hwnd);

// ---- Serial device ----
HANDLE OpenComm(const char* device, DWORD access, DWORD share);
// ReadFile and WriteFile on a comm-port handle: false when h is not one,
// else the call's result in *result.
bool CommRead(HANDLE h, void* buf, DWORD n, DWORD* got, OVERLAPPED* ov, BOOL* result);
bool CommWrite(HANDLE h, const void* buf, DWORD n, DWORD* put, OVERLAPPED* ov, BOOL* result);
// The device-control block's line settings to and from termios; false for a
// setting the tty cannot take.
void MakeRaw(termios* t);
void DcbFromTermios(const termios& t, DCB* dcb);
bool TermiosFromDcb(const DCB& dcb, termios* t);

}  // namespace kp
