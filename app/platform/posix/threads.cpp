// Threads, events, named mutexes, critical sections and the time bases.
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
}  // namespace

}  // namespace kp

using namespace kp;

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
void EnterCriticalSection(CRITICAL_SECTION* cs) { pthread_mutex_lock(&cs->m); }
void LeaveCriticalSection(CRITICAL_SECTION* cs) { pthread_mutex_unlock(&cs->m); }
