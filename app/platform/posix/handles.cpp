// The handle table and the last error: Win32 error codes from errno values.
#include "internal.h"

#include <cerrno>
#include <unistd.h>

namespace kp {

void SetErrno(int err) {
    DWORD e = ERROR_GEN_FAILURE;
    switch (err) {
    case 0: e = ERROR_SUCCESS; break;
    case ENOENT: e = ERROR_FILE_NOT_FOUND; break;
    case ENOTDIR: e = ERROR_PATH_NOT_FOUND; break;
    case EACCES: case EPERM: case EROFS: e = ERROR_ACCESS_DENIED; break;
    case EEXIST: e = ERROR_FILE_EXISTS; break;
    case EBADF: e = ERROR_INVALID_HANDLE; break;
    case EINVAL: e = ERROR_INVALID_PARAMETER; break;
    case ENOMEM: e = ERROR_NOT_ENOUGH_MEMORY; break;
    case EBUSY: case EWOULDBLOCK: e = ERROR_SHARING_VIOLATION; break;
    }
    SetLastError(e);
}

// ---- Handle table ----

namespace {

enum { kHandleSlots = 256, kFirstHandle = 0x1000 };

// A slot's handles follow HandleValue.
struct HandleEntry {
    uintptr_t handle = 0;  // 0 for a free slot
    uintptr_t generation = 0;
    std::shared_ptr<Object> obj;  // threads, events, mutexes, comm ports
    int fd = -1;                  // a plain file
};

struct HandleTable {
    std::mutex m;
    HandleEntry entries[kHandleSlots];
};

// Never destroyed: threads may still use it while the process exits.
HandleTable& Handles() {
    static HandleTable* t = new HandleTable;
    return *t;
}

HandleEntry* Entry(HandleTable& t, HANDLE h) {
    uintptr_t v = (uintptr_t)h;
    int i = HandleSlot(kFirstHandle, kHandleSlots, v);
    if (i < 0) return nullptr;
    HandleEntry& e = t.entries[i];
    return e.handle == v ? &e : nullptr;
}

// Under the table's lock; 0 when every slot is taken.
HANDLE NewEntry(HandleTable& t, std::shared_ptr<Object> obj, int fd) {
    for (unsigned i = 0; i < kHandleSlots; ++i) {
        HandleEntry& e = t.entries[i];
        if (e.handle) continue;
        e.handle = HandleValue(kFirstHandle, kHandleSlots, e.generation++, i);
        e.obj = std::move(obj);
        e.fd = fd;
        return (HANDLE)e.handle;
    }
    return 0;
}

}  // namespace

HANDLE AddHandle(std::shared_ptr<Object> obj) {
    HandleTable& t = Handles();
    std::lock_guard<std::mutex> lock(t.m);
    HANDLE h = NewEntry(t, std::move(obj), -1);
    if (!h) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return h;
}

HANDLE AddFileHandle(int fd) {
    HandleTable& t = Handles();
    std::lock_guard<std::mutex> lock(t.m);
    HANDLE h = NewEntry(t, nullptr, fd);
    if (!h) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return h;
}

int FileDescriptor(HANDLE h) {
    HandleTable& t = Handles();
    std::lock_guard<std::mutex> lock(t.m);
    HandleEntry* e = Entry(t, h);
    return e ? e->fd : -1;
}

std::shared_ptr<Object> GetObject(HANDLE h) {
    HandleTable& t = Handles();
    std::lock_guard<std::mutex> lock(t.m);
    HandleEntry* e = Entry(t, h);
    return e ? e->obj : nullptr;
}

namespace {
thread_local DWORD t_lastError = 0;
}  // namespace

}  // namespace kp

using namespace kp;

DWORD GetLastError(void) { return t_lastError; }
void SetLastError(DWORD error) { t_lastError = error; }

BOOL CloseHandle(HANDLE handle) {
    std::shared_ptr<Object> obj;
    int fd;
    {
        HandleTable& t = Handles();
        std::lock_guard<std::mutex> lock(t.m);
        HandleEntry* e = Entry(t, handle);
        if (!e) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        obj.swap(e->obj);
        fd = e->fd;
        e->fd = -1;
        e->handle = 0;
    }
    if (fd >= 0) {
        close(fd);
        FileStepDone();
    }
    if (obj) obj->OnClose();
    return TRUE;
}
