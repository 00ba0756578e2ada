// Per-thread message queues, window classes, windows and registered messages.
//
// The service posts one message per received byte to a window of its own
// thread and dispatches it there, so that path allocates nothing and takes no
// lock: windows live in a fixed table whose slots the owning thread reads
// without locking. Each thread has one FIFO of posted messages, whoever
// posts, as on Windows. It is kept in two fixed rings: the owner's ring,
// which only the owning thread touches, and a ring under a lock for posts
// from other threads. The owner moves those behind its own ring's messages
// before each post of its own and each take, so the order of the two rings
// together is the order in which the posts were made.
#include "internal.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <map>

namespace kp {

// Windows holds 10000 posted messages per queue, whoever posts them. Here the
// owning thread's own posts and everybody else's each have that many: a flood
// from other threads or processes can never refuse the owner the per-byte
// posts of a drain (4191 bytes and their pass-on), and other processes take at
// most kProcessLimit of the others' share, so the reader thread's DATA_READ
// always finds room.
enum {
    kQueueLimit = 10000,
    kProcessLimit = 8000,
    kLocalCapacity = 32768,   // both shares, and posts racing at the limit; a power of two
    kRemoteCapacity = 16384,  // the others' share; a power of two
    kWindowSlots = 256,
    kFirstHandle = 0x20000
};
// Who posted a message, for the limits above.
enum Origin { ORIGIN_OWN = 0, ORIGIN_THREAD = 1, ORIGIN_PROCESS = 2 };
// Internal: DestroyWindow on the owning thread, asked for by another thread.
const UINT kDestroyRequest = 0xFFFFFFFFu;

// 32 bytes on 64-bit machines, 20 on 32-bit ones: window handles are
// multiples of 4, so the poster's Origin rides in the handle's two low bits.
struct Item {
    uintptr_t target;  // the window's handle (0 for a thread message) | Origin
    UINT message;
    DWORD time;
    WPARAM wParam;
    LPARAM lParam;
    HWND Hwnd() const { return (HWND)(target & ~(uintptr_t)3); }
    int Origin() const { return (int)(target & 3); }
};

// A fixed FIFO of messages. Its two indices count on from the front and
// wrap by mask; their difference is the count, so a post or a take writes
// one index and nothing else.
template <unsigned N>
struct Ring {
    static_assert((N & (N - 1)) == 0, "a ring's size is a power of two");
    Item items[N];
    unsigned head = 0;  // the oldest
    unsigned tail = 0;  // where the next goes
    unsigned Count() const { return tail - head; }
    bool Push(const Item& item) {
        if (Count() == N) return false;
        items[tail++ & (N - 1)] = item;
        return true;
    }
    // The next slot, filled in place by the caller (no Item built and
    // copied on the per-byte path); the ring must not be full.
    Item* Append() { return &items[tail++ & (N - 1)]; }
    Item& Front() { return items[head & (N - 1)]; }
    void Drop() { ++head; }
    // Called on finding the ring empty: it starts again at the front, so a
    // drain's posts reuse the same memory instead of walking the whole ring
    // through the cache.
    void Rewind() { head = tail = 0; }
};

static_assert(sizeof(Item) == 3 * sizeof(uintptr_t) + 2 * sizeof(DWORD), "a posted message has no padding");

struct Queue {
    // The owning thread alone touches these. foreignInLocal counts the posts
    // of other threads and processes in local; the rest are the owner's own.
    Ring<kLocalCapacity> local;
    unsigned foreignInLocal = 0;
    bool quit = false;
    int quitCode = 0;
    // From taking a message until the thread waits for the next one, its own
    // posts carry that message's time instead of reading the clock per post.
    bool stamped = false;
    DWORD stamp = 0;
    // Posts from other threads, under m. remoteCount mirrors remote's count so
    // that the owner sees new posts without taking the lock: the release
    // store after each post pairs with the owner's acquire load.
    std::mutex m;
    std::condition_variable cv;
    Ring<kRemoteCapacity> remote;
    std::atomic<int> remoteCount{0};
    // Other threads' and other processes' posts anywhere in the queue:
    // counted up under m by the poster, down by the owner as it takes them.
    std::atomic<int> foreignCount{0};
    std::atomic<int> processCount{0};
};

namespace {

// A window slot. The owning thread reads the atomic fields without a lock;
// everything else, and every write, is under State::m. Plain data with
// constant initialisation, so that the table is ready before any static
// constructor runs.
// One cache line each, so that a slot's address is a shift of its index.
struct alignas(64) Window {
    std::atomic<uintptr_t> hwnd;  // 0 for a free slot
    std::atomic<Queue*> owner;
    // The owner's queue while the window lives here and is not being
    // destroyed, else NoOwnPosts(): the one test a post from the owning
    // thread needs.
    std::atomic<Queue*> ownPosts;
    std::atomic<WNDPROC> proc;
    uint64_t remoteHwnd;
    HWND parent;
    std::atomic<int> remotePid;  // a window of another process (FindWindow)
    uint32_t generation;         // handle values are never reused
    std::atomic<bool> destroying;
    bool topLevel;
};
// Slot 0 is never a window's. A null handle maps to it, and it holds 4, a
// value that maps to slot 1, so a null handle fails Slot's one comparison
// like any other dead handle.
Window g_windows[kWindowSlots] = {{4, nullptr, nullptr, nullptr, 0, 0, 0, 0, false, false}};
static_assert(sizeof(Window) == 64, "a window slot is one cache line");

struct State {
    std::mutex m;
    std::wstring cls[kWindowSlots];  // of the window in the same slot
    std::wstring title[kWindowSlots];
    std::map<std::wstring, WNDCLASS> classes;
    std::map<UINT, std::wstring> messages;
};

State& S() {
    static State* s = new State;  // never destroyed: see Handles()
    return *s;
}

// Never a queue and never null, so that a thread with no queue yet fails
// the ownPosts test too.
char g_noOwnPosts;
inline Queue* NoOwnPosts() { return reinterpret_cast<Queue*>(&g_noOwnPosts); }

// Initial-exec: the per-message paths read it with one instruction.
__attribute__((tls_model("initial-exec"))) thread_local Queue* t_queue = nullptr;

size_t IndexOf(const Window* w) { return (size_t)(w - g_windows); }

// The slot of a live handle, or null. A handle's slot is its serial number
// modulo the table size.
inline Window* Slot(HWND hwnd) {
    // Live handles are multiples of 4 from kFirstHandle, a free slot holds
    // 0 and slot 0 holds 4, so comparing with the slot's handle rejects
    // every other value, 0 included.
    uintptr_t h = (uintptr_t)hwnd;
    Window* w = &g_windows[((h - kFirstHandle) >> 2) & (kWindowSlots - 1)];
    return w->hwnd.load(std::memory_order_acquire) == h ? w : nullptr;
}

// Takes a free slot and picks a handle no window had before; under S().m.
// The caller fills the slot, then publishes the handle with Publish.
Window* NewSlot(uintptr_t* handle) {
    for (uintptr_t i = 0; i < kWindowSlots; ++i) {
        Window& w = g_windows[i];
        if (w.hwnd.load(std::memory_order_relaxed)) continue;
        *handle = kFirstHandle + 4 * ((uintptr_t)w.generation++ * kWindowSlots + i);
        w.remotePid.store(0, std::memory_order_relaxed);
        w.ownPosts.store(NoOwnPosts(), std::memory_order_relaxed);
        w.destroying.store(false, std::memory_order_relaxed);
        w.remoteHwnd = 0;
        w.parent = 0;
        w.topLevel = false;
        return &w;
    }
    return nullptr;
}

// Release: a thread that finds the handle (Slot's acquire) sees the filled slot.
void Publish(Window* w, uintptr_t handle) { w->hwnd.store(handle, std::memory_order_release); }

void FreeSlot(Window* w) {
    w->hwnd.store(0, std::memory_order_release);
    w->owner.store(nullptr, std::memory_order_relaxed);
    w->ownPosts.store(NoOwnPosts(), std::memory_order_relaxed);
    w->proc.store(nullptr, std::memory_order_relaxed);
}

// The message time needs the tick count's millisecond only: the coarse clock
// is read without a system call.
DWORD MessageTime() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return (DWORD)((uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u);
}

// Moves other threads' posts behind the thread's own; with wait, first
// sleeps until there is one. The limits keep everything within the owner's
// ring, so everything moves.
void Collect(Queue* q, bool wait) {
    std::unique_lock<std::mutex> lock(q->m);
    if (wait) q->cv.wait(lock, [q] { return q->remote.Count() > 0; });
    while (q->remote.Count() > 0 && q->local.Push(q->remote.Front())) {
        q->remote.Drop();
        ++q->foreignInLocal;
    }
    q->remoteCount.store((int)q->remote.Count(), std::memory_order_relaxed);
}

// Posts by other processes come through the receiving thread's delivery.
thread_local bool t_delivering = false;

bool PushRemote(Queue* q, Item item) {
    std::lock_guard<std::mutex> lock(q->m);
    bool process = t_delivering;
    item.target |= process ? ORIGIN_PROCESS : ORIGIN_THREAD;
    if (q->foreignCount.load(std::memory_order_relaxed) >= kQueueLimit ||
        (process && q->processCount.load(std::memory_order_relaxed) >= kProcessLimit) || !q->remote.Push(item))
        return false;
    q->foreignCount.fetch_add(1, std::memory_order_relaxed);
    if (process) q->processCount.fetch_add(1, std::memory_order_relaxed);
    q->remoteCount.store((int)q->remote.Count(), std::memory_order_release);
    q->cv.notify_one();
    return true;
}

// The owning thread's own post, written in place (no record built and copied
// on the per-byte path); the caller checked the owner's share. Both shares
// together always fit the ring.
inline void AppendOwn(Queue* q, HWND hwnd, UINT msg, DWORD time, WPARAM wParam, LPARAM lParam) {
    Item* at = q->local.Append();
    at->target = (uintptr_t)hwnd | ORIGIN_OWN;
    at->message = msg;
    at->time = time;
    at->wParam = wParam;
    at->lParam = lParam;
}

// False when the poster's share of the queue is full: the post fails, as on
// the real platform.
inline bool Push(Queue* q, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (!q) return false;
    if (q != t_queue) {
        Item item = {(uintptr_t)hwnd, msg, MessageTime(), wParam, lParam};
        return PushRemote(q, item);
    }
    // What other threads posted before this post goes before it.
    if (q->remoteCount.load(std::memory_order_acquire) != 0) Collect(q, false);
    if (q->local.Count() - q->foreignInLocal >= (unsigned)kQueueLimit) return false;
    AppendOwn(q, hwnd, msg, q->stamped ? q->stamp : MessageTime(), wParam, lParam);
    return true;
}

// Called as the owner takes an item out of its ring.
inline void Taken(Queue* q, const Item& item) {
    int origin = item.Origin();
    if (origin == ORIGIN_OWN) return;
    --q->foreignInLocal;
    q->foreignCount.fetch_sub(1, std::memory_order_relaxed);
    if (origin == ORIGIN_PROCESS) q->processCount.fetch_sub(1, std::memory_order_relaxed);
}

// Refused posts are counted and said now and then, like dropped datagrams.
std::atomic<unsigned long> g_refused{0};
void SayRefused() {
    unsigned long n = ++g_refused;
    if (n <= 10 || n % 1000 == 0) BackendLine("platform: a full message queue refused a post (%lu so far)\n", n);
}

}  // namespace

// Created once per thread that owns windows or takes messages, and kept for
// the life of the process: windows name their queue by address.
__attribute__((noinline)) Queue* NewQueue() { return t_queue = new Queue; }

Queue* CurrentQueue() { return t_queue ? t_queue : NewQueue(); }

bool PostDestroyRequest(HWND hwnd) {
    Window* w = Slot(hwnd);
    if (!w || w->remotePid.load(std::memory_order_relaxed)) return false;
    return Push(w->owner.load(std::memory_order_relaxed), hwnd, kDestroyRequest, 0, 0);
}

void PostToLocalTopLevel(UINT msg, WPARAM wParam, LPARAM lParam) {
    State& s = S();
    std::lock_guard<std::mutex> lock(s.m);
    for (Window& w : g_windows) {
        uintptr_t h = w.hwnd.load(std::memory_order_relaxed);
        if (h && w.topLevel && !w.remotePid.load(std::memory_order_relaxed))
            Push(w.owner.load(std::memory_order_relaxed), (HWND)h, msg, wParam, lParam);
    }
}

void DestroyRequestAllTopLevel() {
    HWND targets[kWindowSlots];
    int n = 0;
    {
        State& s = S();
        std::lock_guard<std::mutex> lock(s.m);
        for (Window& w : g_windows) {
            uintptr_t h = w.hwnd.load(std::memory_order_relaxed);
            if (h && w.topLevel && !w.remotePid.load(std::memory_order_relaxed)) targets[n++] = (HWND)h;
        }
    }
    for (int i = 0; i < n; ++i) PostDestroyRequest(targets[i]);
}

bool IsLocalTopLevel(HWND hwnd) {
    Window* w = Slot(hwnd);
    if (!w || w->remotePid.load(std::memory_order_relaxed)) return false;
    std::lock_guard<std::mutex> lock(S().m);
    return w->topLevel;
}

bool AnyTopLevel() {
    State& s = S();
    std::lock_guard<std::mutex> lock(s.m);
    for (Window& w : g_windows)
        if (w.hwnd.load(std::memory_order_relaxed) && w.topLevel && !w.remotePid.load(std::memory_order_relaxed))
            return true;
    return false;
}

// What another process may ask of this one: a registered message, WM_CLOSE
// or WM_DESTROY to every top-level window or to one of them, as Windows
// delivers them, and the control tool's destroy of a top-level window.
// Anything else is refused, and the transport drops and counts it: Windows
// refuses to post messages whose parameters are pointers (WM_CREATE) across
// processes, and child windows are not named to other processes here.
static bool ReceiveFromOtherProcess(IpcKind kind, uint64_t target, UINT msg, WPARAM wParam, LPARAM lParam) {
    HWND hwnd = (HWND)(uintptr_t)target;
    bool broadcast = target == 0xFFFF;
    if (!broadcast && !IsLocalTopLevel(hwnd)) return false;
    if (kind == IPC_DESTROY) return !broadcast && PostDestroyRequest(hwnd);
    if (!((msg >= 0xC000 && msg <= 0xFFFF) || msg == WM_CLOSE || msg == WM_DESTROY)) return false;
    t_delivering = true;
    if (broadcast) PostToLocalTopLevel(msg, wParam, lParam);
    else PostMessage(hwnd, msg, wParam, lParam);
    t_delivering = false;
    return true;
}

}  // namespace kp

using namespace kp;

// Message numbers come from a hash of the name, so every process derives the
// same number for the same name without talking to the others. Two names of
// one process that meet on one number are reported, and the later one moves
// on to the next free number.
UINT RegisterWindowMessage(LPCWSTR name) {
    if (!name || !*name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    uint32_t h = 2166136261u;  // FNV-1a over the UTF-8 bytes
    for (char c : ToUtf8(name)) {
        h ^= (unsigned char)c;
        h *= 16777619u;
    }
    UINT msg = 0xC000 + ((h ^ (h >> 14) ^ (h >> 28)) & 0x3FFF);
    State& s = S();
    std::lock_guard<std::mutex> lock(s.m);
    for (int tries = 0; tries < 0x4000; ++tries) {
        auto it = s.messages.find(msg);
        if (it == s.messages.end()) {
            s.messages[msg] = name;
            return msg;
        }
        if (it->second == name) return msg;
        BackendLine("platform: message \"%s\" collides with \"%s\" at 0x%X\n",
                ToUtf8(name).c_str(), ToUtf8(it->second.c_str()).c_str(), msg);
        msg = msg == 0xFFFF ? 0xC000 : msg + 1;
    }
    return 0;
}

static BOOL PostMessageElsewhere(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// The per-byte case is a post to a window of the posting thread while it
// dispatches, with nothing from other threads waiting: a ring write. The
// rest is PostMessageElsewhere, out of line.
BOOL PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    Window* w = Slot(hwnd);
    Queue* q = t_queue;
    if (w && w->ownPosts.load(std::memory_order_relaxed) == q && q->stamped &&
        q->remoteCount.load(std::memory_order_acquire) == 0 &&
        q->local.Count() < (unsigned)kQueueLimit) {  // else the exact count of own posts decides
        AppendOwn(q, hwnd, msg, q->stamp, wParam, lParam);
        return TRUE;
    }
    return PostMessageElsewhere(hwnd, msg, wParam, lParam);
}

__attribute__((noinline)) static BOOL PostMessageElsewhere(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (hwnd == HWND_BROADCAST) {
        PostToLocalTopLevel(msg, wParam, lParam);
        IpcBroadcast(msg, wParam, lParam);
        return TRUE;
    }
    Window* w = hwnd ? Slot(hwnd) : nullptr;
    if (!hwnd) {
        // A thread message of the poster: GetMessage returns it with no
        // window, and DispatchMessage does nothing with it.
        if (Push(CurrentQueue(), 0, msg, wParam, lParam)) return TRUE;
        SayRefused();
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return FALSE;
    }
    if (!w || w->destroying.load(std::memory_order_relaxed)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (long pid = w->remotePid.load(std::memory_order_relaxed)) {
        uint64_t remote;
        {
            std::lock_guard<std::mutex> lock(S().m);
            remote = w->remoteHwnd;
        }
        if (IpcSend(pid, remote, IPC_POST, msg, wParam, lParam)) return TRUE;
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    Queue* q = w->owner.load(std::memory_order_relaxed);
    if (!q) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (!Push(q, hwnd, msg, wParam, lParam)) {
        SayRefused();
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);  // the queue is full
        return FALSE;
    }
    return TRUE;
}

void PostQuitMessage(int exitCode) {
    Queue* q = CurrentQueue();
    q->quit = true;
    q->quitCode = exitCode;
}

static inline BOOL TakeMessage(MSG* msg, bool wait, bool remove) {
    Queue* q = t_queue ? t_queue : NewQueue();
    for (;;) {
        if (q->remoteCount.load(std::memory_order_acquire) != 0) Collect(q, false);
        if (q->local.Count() == 0) {
            q->local.Rewind();
            if (q->quit) {
                // Like WM_QUIT, the quit request is seen only once the
                // posted messages are taken.
                memset(msg, 0, sizeof *msg);
                msg->message = WM_QUIT;
                msg->wParam = (WPARAM)q->quitCode;
                msg->time = MessageTime();
                if (remove) q->quit = false;
                return wait ? FALSE : TRUE;
            }
            if (!wait) return FALSE;
            q->stamped = false;  // posts while nothing is being handled read the clock
            Collect(q, true);
            continue;
        }
        Item& item = q->local.Front();
        // Only other threads ask for a destroy (DestroyWindow destroys its
        // own thread's windows at once), so own posts skip the test.
        if (item.Origin() != ORIGIN_OWN && item.message == kDestroyRequest) {
            HWND target = item.Hwnd();
            Taken(q, item);
            q->local.Drop();
            DestroyWindow(target);
            continue;
        }
        msg->hwnd = item.Hwnd();
        msg->message = item.message;
        msg->wParam = item.wParam;
        msg->lParam = item.lParam;
        msg->time = item.time;
        msg->pt.x = msg->pt.y = 0;
        q->stamp = item.time;
        q->stamped = true;
        if (remove) {
            Taken(q, item);
            q->local.Drop();
        }
        // Taking WM_QUIT ends the loop however it was posted.
        return wait && msg->message == WM_QUIT ? FALSE : TRUE;
    }
}

BOOL GetMessage(MSG* msg, HWND, UINT, UINT) {
    if (!msg) return FALSE;
    return TakeMessage(msg, true, true);
}

BOOL PeekMessage(MSG* msg, HWND, UINT, UINT, UINT remove) {
    if (!msg) return FALSE;
    return TakeMessage(msg, false, remove == PM_REMOVE);
}

LRESULT DispatchMessage(const MSG* msg) {
    if (!msg) return 0;
    Window* w = Slot(msg->hwnd);  // none for a thread message
    if (!w) return 0;
    // Only windows of the calling thread are dispatched to (a window of
    // another thread or process has a queue that is not this one).
    if (w->owner.load(std::memory_order_relaxed) != t_queue) return 0;
    WNDPROC proc = w->proc.load(std::memory_order_relaxed);
    if (!proc) return 0;
    return proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

ATOM RegisterClass(const WNDCLASS* wc) {
    if (!wc || !wc->lpszClassName || !wc->lpfnWndProc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    State& s = S();
    std::lock_guard<std::mutex> lock(s.m);
    std::wstring name = wc->lpszClassName;
    if (s.classes.count(name) || name == L"static") {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    s.classes[name] = *wc;
    return (ATOM)(0xC000 + s.classes.size());
}

HWND CreateWindowEx(DWORD, LPCWSTR className, LPCWSTR title, DWORD style, int, int, int, int,
                    HWND parent, HMENU, HINSTANCE, LPVOID) {
    if (!className) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::wstring cls = className;
    WNDPROC proc = nullptr;
    Queue* owner = CurrentQueue();
    HWND hwnd = 0;
    {
        State& s = S();
        std::lock_guard<std::mutex> lock(s.m);
        if (cls == L"static") {
            proc = DefWindowProc;  // the built-in class does what every window does by default
        } else {
            auto it = s.classes.find(cls);
            if (it == s.classes.end()) {
                SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
                return 0;
            }
            proc = it->second.lpfnWndProc;
        }
        if (parent) {
            Window* p = Slot(parent);
            if (!p || p->remotePid.load(std::memory_order_relaxed) || p->destroying.load(std::memory_order_relaxed)) {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return 0;
            }
        } else if (style & WS_CHILD) {
            SetLastError(ERROR_TLW_WITH_WSCHILD);
            return 0;
        }
        uintptr_t handle = 0;
        Window* w = NewSlot(&handle);
        if (!w) {
            SetLastError(ERROR_NO_MORE_USER_HANDLES);
            return 0;
        }
        s.cls[IndexOf(w)] = cls;
        s.title[IndexOf(w)] = title ? title : L"";
        w->parent = parent;
        w->topLevel = parent == 0;
        w->owner.store(owner, std::memory_order_relaxed);
        w->ownPosts.store(owner, std::memory_order_relaxed);
        w->proc.store(proc, std::memory_order_relaxed);
        Publish(w, handle);
        hwnd = (HWND)handle;
    }
    // Other processes can find a top-level window as soon as it has a title,
    // which WM_CREATE may give it: their posts must be taken from then on.
    if (!parent) IpcSetReceiver(ReceiveFromOtherProcess);
    if (proc(hwnd, WM_CREATE, 0, 0) == -1) {
        DestroyWindow(hwnd);
        return 0;
    }
    if (!IsWindow(hwnd)) return 0;  // destroyed during creation
    if (!parent) IpcRegisterWindow(hwnd, cls, title ? title : L"");
    return hwnd;
}

BOOL DestroyWindow(HWND hwnd) {
    Window* w = Slot(hwnd);
    if (!w || w->destroying.load(std::memory_order_relaxed)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (long pid = w->remotePid.load(std::memory_order_relaxed)) {
        uint64_t remote;
        {
            std::lock_guard<std::mutex> lock(S().m);
            remote = w->remoteHwnd;
        }
        return IpcSend(pid, remote, IPC_DESTROY, 0, 0, 0);
    }
    if (w->owner.load(std::memory_order_relaxed) != CurrentQueue()) {
        // Only the owning thread destroys a window; ask it to.
        return PostDestroyRequest(hwnd) ? TRUE : FALSE;
    }
    w->destroying.store(true, std::memory_order_relaxed);
    w->ownPosts.store(NoOwnPosts(), std::memory_order_relaxed);
    bool topLevel;
    {
        std::lock_guard<std::mutex> lock(S().m);
        topLevel = w->topLevel;
    }
    if (topLevel) IpcUnregisterWindow(hwnd);
    WNDPROC proc = w->proc.load(std::memory_order_relaxed);
    if (proc) proc(hwnd, WM_DESTROY, 0, 0);
    // Children get WM_DESTROY after their parent.
    HWND children[kWindowSlots];
    int n = 0;
    {
        State& s = S();
        std::lock_guard<std::mutex> lock(s.m);
        for (Window& c : g_windows) {
            uintptr_t h = c.hwnd.load(std::memory_order_relaxed);
            if (h && c.parent == hwnd) children[n++] = (HWND)h;
        }
    }
    for (int i = 0; i < n; ++i) DestroyWindow(children[i]);
    std::lock_guard<std::mutex> lock(S().m);
    FreeSlot(w);
    return TRUE;
}

BOOL IsWindow(HWND hwnd) {
    Window* w = Slot(hwnd);
    return w && !w->destroying.load(std::memory_order_relaxed);
}

HWND FindWindow(LPCWSTR className, LPCWSTR title) {
    std::wstring cls = className ? className : L"";
    std::wstring ttl = title ? title : L"";
    State& s = S();
    {
        std::lock_guard<std::mutex> lock(s.m);
        for (Window& w : g_windows) {
            uintptr_t h = w.hwnd.load(std::memory_order_relaxed);
            if (!h || !w.topLevel || w.remotePid.load(std::memory_order_relaxed) ||
                w.destroying.load(std::memory_order_relaxed))
                continue;
            if (className && s.cls[IndexOf(&w)] != cls) continue;
            if (title && s.title[IndexOf(&w)] != ttl) continue;
            return (HWND)h;
        }
    }
    long pid = 0;
    uint64_t remote = 0;
    if (!IpcFind(className ? &cls : nullptr, title ? &ttl : nullptr, &pid, &remote)) return 0;
    std::lock_guard<std::mutex> lock(s.m);
    // A window another process owns already in the table is found again.
    for (Window& w : g_windows) {
        uintptr_t h = w.hwnd.load(std::memory_order_relaxed);
        if (h && w.remotePid.load(std::memory_order_relaxed) == pid && w.remoteHwnd == remote) return (HWND)h;
    }
    uintptr_t handle = 0;
    Window* w = NewSlot(&handle);
    if (!w) return 0;
    s.cls[IndexOf(w)] = cls;
    s.title[IndexOf(w)] = ttl;
    w->topLevel = true;
    w->remoteHwnd = remote;
    w->remotePid.store((int)pid, std::memory_order_relaxed);
    Publish(w, handle);
    return (HWND)handle;
}

LRESULT DefWindowProc(HWND hwnd, UINT msg, WPARAM, LPARAM) {
    if (msg == WM_CLOSE) DestroyWindow(hwnd);
    return 0;
}

LRESULT CallWindowProc(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (!proc) return 0;
    return proc(hwnd, msg, wParam, lParam);
}

LONG_PTR SetWindowLongPtr(HWND hwnd, int index, LONG_PTR value) {
    Window* w = Slot(hwnd);
    if (!w || w->remotePid.load(std::memory_order_relaxed) || index != GWL_WNDPROC || !value) {
        SetLastError(w ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    std::lock_guard<std::mutex> lock(S().m);
    return (LONG_PTR)w->proc.exchange((WNDPROC)value, std::memory_order_relaxed);
}

LONG_PTR GetWindowLongPtr(HWND hwnd, int index) {
    Window* w = Slot(hwnd);
    if (!w || w->remotePid.load(std::memory_order_relaxed) || index != GWL_WNDPROC) return 0;
    return (LONG_PTR)w->proc.load(std::memory_order_relaxed);
}

BOOL SetWindowText(HWND hwnd, LPCWSTR text) {
    Window* w = Slot(hwnd);
    if (!w || w->remotePid.load(std::memory_order_relaxed)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    std::wstring cls, title;
    bool topLevel;
    {
        State& s = S();
        std::lock_guard<std::mutex> lock(s.m);
        s.title[IndexOf(w)] = text ? text : L"";
        cls = s.cls[IndexOf(w)];
        title = s.title[IndexOf(w)];
        topLevel = w->topLevel;
    }
    if (topLevel && !w->destroying.load(std::memory_order_relaxed)) IpcRegisterWindow(hwnd, cls, title);
    return TRUE;
}

int GetWindowText(HWND hwnd, LPWSTR text, int maxCount) {
    if (!text || maxCount <= 0) return 0;
    text[0] = 0;
    Window* w = Slot(hwnd);
    if (!w) return 0;
    State& s = S();
    std::lock_guard<std::mutex> lock(s.m);
    const std::wstring& title = s.title[IndexOf(w)];
    int n = 0;
    for (; n < maxCount - 1 && n < (int)title.size(); ++n) text[n] = title[n];
    text[n] = 0;
    return n;
}

BOOL ShowWindow(HWND hwnd, int) { return IsWindow(hwnd); }
BOOL UpdateWindow(HWND hwnd) { return IsWindow(hwnd); }
HICON LoadIcon(HINSTANCE, LPCWSTR) { return (HICON)(ULONG_PTR)0x65; }
HGDIOBJ GetStockObject(int index) { return index >= 0 && index < 20 ? (HGDIOBJ)(ULONG_PTR)(0x100 + index) : 0; }
HINSTANCE GetModuleHandle(LPCWSTR) { return (HINSTANCE)(ULONG_PTR)0x10000; }
