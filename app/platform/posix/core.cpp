// Handles, threads, events, named mutexes, last error, time bases.
#include "internal.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kp {

bool Path::Append(const char* text, size_t len) {
    if (len >= kCapacity - n) return false;
    memcpy(s + n, text, len);
    n += len;
    s[n] = 0;
    return true;
}

bool Path::AppendNumber(unsigned long long v) {
    char digits[24];
    int at = (int)sizeof digits;
    do {
        digits[--at] = (char)('0' + v % 10);
        v /= 10;
    } while (v);
    return Append(digits + at, sizeof digits - (size_t)at);
}

bool RootPath(Path* out) {
    const char* r = getenv("KESTA_GPS_ROOT");
    out->n = 0;
    out->s[0] = 0;
    if (!out->Append((r && *r) ? r : "/var/lib/kesta-gps")) return false;
    while (out->n > 1 && out->s[out->n - 1] == '/') out->s[--out->n] = 0;
    return true;
}

// Makes a folder of the backend's state, or takes back one that other users
// could reach: whatever the umask, nobody else may lock, read or send there.
static void MakePrivateDir(const char* dir) {
    if (mkdir(dir, 0700) != 0 && errno == EEXIST) {
        struct stat st;
        if (lstat(dir, &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & 077) && st.st_uid == geteuid())
            chmod(dir, 0700);
    }
}

bool StateDir(const char* sub, Path* out) {
    // The root is the device's "\\": it always exists there, so it is made
    // here when missing (its sub-folders, such as DataStorage, are not).
    if (!RootPath(out)) return false;
    for (size_t at = 1; at < out->n; ++at) {
        if (out->s[at] != '/') continue;
        out->s[at] = 0;
        mkdir(out->s, 0755);
        out->s[at] = '/';
    }
    mkdir(out->s, 0755);
    if (!out->Append("/.platform")) return false;
    MakePrivateDir(out->s);
    if (sub && *sub) {
        if (!out->Append("/") || !out->Append(sub)) return false;
        MakePrivateDir(out->s);
    }
    return true;
}

bool MapPath(LPCWSTR name, Path* out, bool* isComm) {
    *isComm = false;
    char n[Path::kCapacity];
    size_t len = ToUtf8(name, n, sizeof n);
    // "COMn:" names the serial device n; its device node comes from the
    // environment (KESTA_GPS_COMn), COM1 defaulting to /dev/ttyS0.
    if (len >= 5 && len <= 12 && memcmp(n, "COM", 3) == 0 && n[len - 1] == ':') {
        size_t digits = 3;
        while (digits < len - 1 && n[digits] >= '0' && n[digits] <= '9') ++digits;
        if (digits == len - 1) {
            *isComm = true;
            char var[32] = "KESTA_GPS_";
            memcpy(var + 10, n, len - 1);
            var[10 + len - 1] = 0;
            const char* dev = getenv(var);
            out->n = 0;
            out->s[0] = 0;
            if (dev && *dev) return out->Append(dev);
            long idx = atol(n + 3);
            return out->Append("/dev/ttyS") && out->AppendNumber(idx > 0 ? (unsigned long long)idx - 1 : 0);
        }
    }
    if (!RootPath(out)) return false;
    if (len == 0 || n[0] != '\\') {
        if (!out->Append("/")) return false;
    }
    for (size_t i = 0; i < len; ++i) {
        char c = n[i] == '\\' ? '/' : n[i];
        if (!out->Append(&c, 1)) return false;
    }
    return true;
}

size_t ToUtf8(const WCHAR* text, char* out, size_t cap, size_t maxChars) {
    size_t len = 0;
    if (cap == 0) return 0;
    for (size_t i = 0; text && i < maxChars && text[i]; ++i) {
        uint32_t c = (uint32_t)text[i];
        char b[4];
        size_t k = 0;
        if (c < 0x80) {
            b[k++] = (char)c;
        } else if (c < 0x800) {
            b[k++] = (char)(0xC0 | (c >> 6));
            b[k++] = (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            b[k++] = (char)(0xE0 | (c >> 12));
            b[k++] = (char)(0x80 | ((c >> 6) & 0x3F));
            b[k++] = (char)(0x80 | (c & 0x3F));
        } else if (c < 0x110000) {
            b[k++] = (char)(0xF0 | (c >> 18));
            b[k++] = (char)(0x80 | ((c >> 12) & 0x3F));
            b[k++] = (char)(0x80 | ((c >> 6) & 0x3F));
            b[k++] = (char)(0x80 | (c & 0x3F));
        } else {
            b[k++] = '?';
        }
        if (len + k >= cap) break;  // a character is never cut in half
        memcpy(out + len, b, k);
        len += k;
    }
    out[len] = 0;
    return len;
}

std::string ToUtf8(const WCHAR* text) {
    std::string out;
    for (size_t i = 0; text && text[i]; ++i) {
        char b[8];
        WCHAR one[2] = {text[i], 0};
        out.append(b, ToUtf8(one, b, sizeof b));
    }
    return out;
}

std::wstring FromUtf8(const std::string& s) {
    std::wstring out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = (unsigned char)s[i];
        uint32_t cp = c;
        int extra = 0;
        if (c >= 0xF0) { cp = c & 0x07; extra = 3; }
        else if (c >= 0xE0) { cp = c & 0x0F; extra = 2; }
        else if (c >= 0xC0) { cp = c & 0x1F; extra = 1; }
        ++i;
        for (int k = 0; k < extra && i < s.size(); ++k, ++i) cp = (cp << 6) | ((unsigned char)s[i] & 0x3F);
        out += (wchar_t)cp;
    }
    return out;
}

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

// A handle's slot is its serial number modulo the table size; the serial
// only grows, so no value is ever handed out twice.
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
    if (v < kFirstHandle || (v & 3)) return nullptr;
    HandleEntry& e = t.entries[((v - kFirstHandle) / 4) % kHandleSlots];
    return e.handle == v ? &e : nullptr;
}

// Under the table's lock; 0 when every slot is taken.
HANDLE NewEntry(HandleTable& t, std::shared_ptr<Object> obj, int fd) {
    for (uintptr_t i = 0; i < kHandleSlots; ++i) {
        HandleEntry& e = t.entries[i];
        if (e.handle) continue;
        e.handle = kFirstHandle + 4 * (e.generation++ * kHandleSlots + i);
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

// ---- Waitable objects ----
namespace {
struct Waitable : Object {
    std::mutex m;
    std::condition_variable cv;
    bool signaled = false;
    bool manual = true;
};
struct EventObj : Waitable {};
struct ThreadObj : Waitable {
    DWORD exitCode = STILL_ACTIVE;
};
struct MutexObj : Object {
    int fd = -1;
    ~MutexObj() override {
        if (fd >= 0) close(fd);
    }
};

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

void Sleep(DWORD milliseconds) {
#ifdef KESTA_PLATFORM_FAST
    // The fuzzing build: the service's pauses only cost time there.
    (void)milliseconds;
    return;
#endif
    // std::this_thread::sleep_for uses the monotonic clock.
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD GetTickCount(void) {
    return (DWORD)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start,
                    LPVOID param, DWORD flags, DWORD* threadId) {
    if (!start || flags != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto obj = std::make_shared<ThreadObj>();
    try {
        std::thread th([obj, start, param] {
            DWORD code = start(param);
            std::lock_guard<std::mutex> lock(obj->m);
            obj->exitCode = code;
            obj->signaled = true;
            obj->cv.notify_all();
        });
        if (threadId) *threadId = (DWORD)std::hash<std::thread::id>()(th.get_id());
        th.detach();
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    return AddHandle(obj);
}

BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode) {
    auto obj = Get<ThreadObj>(thread);
    if (!obj || !exitCode) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(obj->m);
    *exitCode = obj->exitCode;
    return TRUE;
}

HANDLE CreateEvent(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
    if (name) {  // named events are not needed by the service
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto obj = std::make_shared<EventObj>();
    obj->manual = manualReset != 0;
    obj->signaled = initialState != 0;
    return AddHandle(obj);
}

BOOL SetEvent(HANDLE event) {
    auto obj = Get<EventObj>(event);
    if (!obj) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(obj->m);
    obj->signaled = true;
    obj->cv.notify_all();
    return TRUE;
}

BOOL ResetEvent(HANDLE event) {
    auto obj = Get<EventObj>(event);
    if (!obj) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(obj->m);
    obj->signaled = false;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    auto obj = Get<Waitable>(handle);
    if (!obj) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    std::unique_lock<std::mutex> lock(obj->m);
    auto ready = [&] { return obj->signaled; };
    if (milliseconds == INFINITE) {
        obj->cv.wait(lock, ready);
    } else if (!obj->cv.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)) {
        return WAIT_TIMEOUT;
    }
    if (!obj->manual) obj->signaled = false;
    return WAIT_OBJECT_0;
}

// Named mutexes live as lock files under the platform root, so that names are
// scoped to one root and a holder's death (even by SIGKILL) frees the name.
// Every holder keeps a shared lock on the name's file; the creator learns
// whether anybody else holds it by trying an exclusive lock first. A guard
// file serialises creations so that the exclusive-to-shared step cannot race.
HANDLE CreateMutex(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCWSTR name) {
    if (!name || initialOwner) {  // the service only uses named, unowned mutexes
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // The lock files are the user's alone: a lock another user could take
    // would keep the service from starting.
    Path dir;
    if (!StateDir("mutex", &dir)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    Path guardPath = dir, lockPath = dir;
    char file[256];
    size_t len = ToUtf8(name, file, sizeof file);
    for (size_t i = 0; i < len; ++i)
        if (!isalnum((unsigned char)file[i]) && file[i] != '_' && file[i] != '-') file[i] = '_';
    if (!guardPath.Append("/.guard") || !lockPath.Append("/") || !lockPath.Append(file, len) ||
        !lockPath.Append(".lock")) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    int guard = open(guardPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (guard < 0) {
        SetErrno(errno);
        return 0;
    }
    flock(guard, LOCK_EX);
    int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        SetErrno(errno);
        close(guard);
        return 0;
    }
    bool existed = flock(fd, LOCK_EX | LOCK_NB) != 0;
    flock(fd, LOCK_SH);
    close(guard);
    auto obj = std::make_shared<MutexObj>();
    obj->fd = fd;
    HANDLE h = AddHandle(obj);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

void InitializeCriticalSection(CRITICAL_SECTION* cs) { pthread_mutex_init(&cs->m, nullptr); }
void DeleteCriticalSection(CRITICAL_SECTION* cs) { pthread_mutex_destroy(&cs->m); }
void EnterCriticalSection(CRITICAL_SECTION* cs) { pthread_mutex_lock(&cs->m); }
void LeaveCriticalSection(CRITICAL_SECTION* cs) { pthread_mutex_unlock(&cs->m); }
