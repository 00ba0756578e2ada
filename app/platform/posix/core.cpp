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

std::string Root() {
    const char* r = getenv("KESTA_GPS_ROOT");
    std::string root = (r && *r) ? r : "/var/lib/kesta-gps";
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

std::string StateDir(const char* sub) {
    // The root is the device's "\": it always exists there, so it is made
    // here when missing (its sub-folders, such as DataStorage, are not).
    std::string root = Root();
    for (size_t at = root.find('/', 1); at != std::string::npos; at = root.find('/', at + 1))
        mkdir(root.substr(0, at).c_str(), 0755);
    mkdir(root.c_str(), 0755);
    std::string dir = root + "/.platform";
    mkdir(dir.c_str(), 0755);
    if (sub && *sub) {
        dir += "/";
        dir += sub;
        mkdir(dir.c_str(), 0755);
    }
    return dir;
}

std::string MapPath(LPCWSTR name, bool* isComm) {
    *isComm = false;
    std::string n = ToUtf8(name);
    // "COMn:" names the serial device n; its device node comes from the
    // environment (KESTA_GPS_COMn), COM1 defaulting to /dev/ttyS0.
    if (n.size() >= 5 && n.compare(0, 3, "COM") == 0 && n.back() == ':') {
        std::string num = n.substr(3, n.size() - 4);
        if (!num.empty() && num.find_first_not_of("0123456789") == std::string::npos) {
            *isComm = true;
            std::string var = "KESTA_GPS_COM" + num;
            const char* dev = getenv(var.c_str());
            if (dev && *dev) return dev;
            int idx = atoi(num.c_str());
            return "/dev/ttyS" + std::to_string(idx > 0 ? idx - 1 : 0);
        }
    }
    std::string path = Root();
    if (n.empty() || n[0] != '\\') path += "/";
    for (char c : n) path += (c == '\\') ? '/' : c;
    return path;
}

std::string ToUtf8(const WCHAR* text, size_t maxChars) {
    std::string out;
    if (!text) return out;
    for (size_t i = 0; i < maxChars && text[i]; ++i) {
        uint32_t c = (uint32_t)text[i];
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += (char)(0xE0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        } else if (c < 0x110000) {
            out += (char)(0xF0 | (c >> 18));
            out += (char)(0x80 | ((c >> 12) & 0x3F));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += '?';
        }
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
struct HandleTable {
    std::mutex m;
    std::map<uintptr_t, std::shared_ptr<Object>> objects;
    uintptr_t next = 0x1000;
};
// Never destroyed: threads may still use it while the process exits.
HandleTable& Handles() {
    static HandleTable* t = new HandleTable;
    return *t;
}
}  // namespace

HANDLE AddHandle(std::shared_ptr<Object> obj) {
    HandleTable& t = Handles();
    std::lock_guard<std::mutex> lock(t.m);
    uintptr_t h = t.next;
    t.next += 4;
    t.objects[h] = std::move(obj);
    return (HANDLE)h;
}

std::shared_ptr<Object> GetObject(HANDLE h) {
    HandleTable& t = Handles();
    std::lock_guard<std::mutex> lock(t.m);
    auto it = t.objects.find((uintptr_t)h);
    if (it == t.objects.end()) return nullptr;
    return it->second;
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
    {
        HandleTable& t = Handles();
        std::lock_guard<std::mutex> lock(t.m);
        auto it = t.objects.find((uintptr_t)handle);
        if (it == t.objects.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        obj = it->second;
        t.objects.erase(it);
    }
    obj->OnClose();
    return TRUE;
}

void Sleep(DWORD milliseconds) {
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
    std::string dir = StateDir("mutex");
    std::string file;
    for (char c : ToUtf8(name)) file += (isalnum((unsigned char)c) || c == '_' || c == '-') ? c : '_';
    int guard = open((dir + "/.guard").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (guard < 0) {
        SetErrno(errno);
        return 0;
    }
    flock(guard, LOCK_EX);
    int fd = open((dir + "/" + file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
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
