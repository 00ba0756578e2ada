// Windows and window classes: a fixed table of windows, posting to them and
// taking and dispatching their messages.
//
// The owning thread reads a window's slot without a lock (every received
// byte is posted to a window of the service's main thread and dispatched
// there); everything else, and every write, is under State::m.
#include "queue.h"

#include <atomic>
#include <map>

namespace kp {
namespace {

enum {
    kWindowSlots = 256,
    // Window handles start well above the kernel objects' (handles.cpp), so
    // a value of one kind is never taken for a live handle of the other.
    kFirstWindowHandle = 0x20000,
    kFirstClassAtom = 0xC000  // as Windows numbers registered classes
};

// A window slot. The atomic fields are read without the lock; the rest is
// under State::m. Plain data, zero at start, so that the table is ready
// before any static constructor runs.
struct Window {
    std::atomic<uintptr_t> hwnd;  // 0 for a free slot
    std::atomic<Queue*> owner;    // the owning thread's queue; 0 for another process's window
    std::atomic<WNDPROC> proc;
    std::atomic<bool> destroying;  // from DestroyWindow's start: takes no more posts
    std::atomic<int> remotePid;    // a window of another process (FindWindow)
    uint64_t remoteHwnd;
    HWND parent;
    bool topLevel;
    uintptr_t generation;  // see HandleValue
};
Window g_windows[kWindowSlots];

struct State {
    std::mutex m;
    std::wstring cls[kWindowSlots];  // of the window in the same slot
    std::wstring title[kWindowSlots];
    std::map<std::wstring, WNDCLASS> classes;
};

State& S() {
    static State* s = new State;  // never destroyed: see Handles()
    return *s;
}

size_t IndexOf(const Window* w) { return (size_t)(w - g_windows); }

// The slot of a live handle, or null.
Window* Slot(HWND hwnd) {
    uintptr_t h = (uintptr_t)hwnd;
    int i = HandleSlot(kFirstWindowHandle, kWindowSlots, h);
    if (i < 0) return nullptr;
    Window* w = &g_windows[i];
    return w->hwnd.load(std::memory_order_acquire) == h ? w : nullptr;
}

// A window of this process that takes posts: live and not being destroyed.
Window* LocalWindow(HWND hwnd) {
    Window* w = Slot(hwnd);
    if (!w || w->destroying.load(std::memory_order_relaxed) || w->remotePid.load(std::memory_order_relaxed))
        return nullptr;
    return w;
}

bool IsLocalTopLevelSlot(const Window& w) {
    return w.hwnd.load(std::memory_order_relaxed) && w.topLevel && !w.remotePid.load(std::memory_order_relaxed);
}

// Takes a free slot and picks its handle; under S().m. The caller fills the
// slot, then publishes the handle with Publish.
Window* NewSlot(uintptr_t* handle) {
    for (unsigned i = 0; i < kWindowSlots; ++i) {
        Window& w = g_windows[i];
        if (w.hwnd.load(std::memory_order_relaxed)) continue;
        *handle = HandleValue(kFirstWindowHandle, kWindowSlots, w.generation++, i);
        w.owner.store(nullptr, std::memory_order_relaxed);
        w.proc.store(nullptr, std::memory_order_relaxed);
        w.destroying.store(false, std::memory_order_relaxed);
        w.remotePid.store(0, std::memory_order_relaxed);
        w.remoteHwnd = 0;
        w.parent = 0;
        w.topLevel = false;
        return &w;
    }
    return nullptr;
}

// Release: a thread that finds the handle (Slot's acquire) sees the filled slot.
void Publish(Window* w, uintptr_t handle) { w->hwnd.store(handle, std::memory_order_release); }

void FreeSlot(Window* w) { w->hwnd.store(0, std::memory_order_release); }

// Refused posts are counted and said now and then, like dropped datagrams.
std::atomic<unsigned long> g_refused{0};
void SayRefused() {
    unsigned long n = ++g_refused;
    if (n <= 10 || n % 1000 == 0) BackendLine("platform: a full message queue refused a post (%lu so far)\n", n);
}

// The other process's own handle of a window FindWindow found there.
uint64_t RemoteHandle(const Window* w) {
    std::lock_guard<std::mutex> lock(S().m);
    return w->remoteHwnd;
}

}  // namespace

bool PostDestroyRequest(HWND hwnd) {
    Window* w = LocalWindow(hwnd);
    return w && QueuePost(w->owner.load(std::memory_order_relaxed), hwnd, 0, 0, 0, ITEM_DESTROY);
}

void PostToLocalTopLevel(UINT msg, WPARAM wParam, LPARAM lParam) {
    std::lock_guard<std::mutex> lock(S().m);
    for (Window& w : g_windows)
        if (IsLocalTopLevelSlot(w) && !w.destroying.load(std::memory_order_relaxed))
            QueuePost(w.owner.load(std::memory_order_relaxed), (HWND)w.hwnd.load(std::memory_order_relaxed), msg,
                      wParam, lParam, ITEM_POSTED);
}

void DestroyRequestAllTopLevel() {
    HWND targets[kWindowSlots];
    int n = 0;
    {
        std::lock_guard<std::mutex> lock(S().m);
        for (Window& w : g_windows)
            if (IsLocalTopLevelSlot(w)) targets[n++] = (HWND)w.hwnd.load(std::memory_order_relaxed);
    }
    for (int i = 0; i < n; ++i) PostDestroyRequest(targets[i]);
}

bool IsLocalTopLevel(HWND hwnd) {
    Window* w = Slot(hwnd);
    if (!w) return false;
    std::lock_guard<std::mutex> lock(S().m);
    return IsLocalTopLevelSlot(*w);
}

bool AnyTopLevel() {
    std::lock_guard<std::mutex> lock(S().m);
    for (Window& w : g_windows)
        if (IsLocalTopLevelSlot(w)) return true;
    return false;
}

}  // namespace kp

using namespace kp;

BOOL PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (hwnd == HWND_BROADCAST) {
        PostToLocalTopLevel(msg, wParam, lParam);
        IpcBroadcast(msg, wParam, lParam);
        return TRUE;
    }
    Queue* q;
    if (!hwnd) {
        // A thread message of the poster: GetMessage returns it with no
        // window, and DispatchMessage does nothing with it.
        q = CurrentQueue();
    } else {
        Window* w = Slot(hwnd);
        if (!w || w->destroying.load(std::memory_order_relaxed)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (long pid = w->remotePid.load(std::memory_order_relaxed)) {
            if (IpcSend(pid, RemoteHandle(w), IPC_POST, msg, wParam, lParam)) return TRUE;
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        q = w->owner.load(std::memory_order_relaxed);
    }
    if (!QueuePost(q, hwnd, msg, wParam, lParam, ITEM_POSTED)) {
        SayRefused();
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);  // the poster's share of the queue is full
        return FALSE;
    }
    return TRUE;
}

void PostQuitMessage(int exitCode) { QueueQuit(CurrentQueue(), exitCode); }

// GetMessage and PeekMessage: a destroy request is carried out here, on the
// owning thread, whoever asked for it.
static BOOL TakeMessage(MSG* msg, bool wait, bool remove) {
    Queue* q = CurrentQueue();
    Item item;
    for (;;) {
        TakeResult r = QueueTake(q, &item, wait, remove);
        if (r == TAKE_NONE) return FALSE;
        if (r == TAKE_QUIT) {
            memset(msg, 0, sizeof *msg);
            msg->message = WM_QUIT;
            msg->wParam = (WPARAM)QueueQuitCode(q);
            msg->time = GetTickCount();
            return wait ? FALSE : TRUE;
        }
        if (item.kind != ITEM_DESTROY) break;
        if (!remove) QueueTake(q, &item, false, true);  // a request is never left for a later take
        DestroyWindow(item.hwnd);
    }
    msg->hwnd = item.hwnd;
    msg->message = item.message;
    msg->wParam = item.wParam;
    msg->lParam = item.lParam;
    msg->time = item.time;
    msg->pt.x = msg->pt.y = 0;
    // Taking WM_QUIT ends the loop however it was posted.
    return wait && msg->message == WM_QUIT ? FALSE : TRUE;
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
    if (w->owner.load(std::memory_order_relaxed) != CurrentQueue()) return 0;
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
    return (ATOM)(kFirstClassAtom + s.classes.size());
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
    if (long pid = w->remotePid.load(std::memory_order_relaxed))
        return IpcSend(pid, RemoteHandle(w), IPC_DESTROY, 0, 0, 0);
    if (w->owner.load(std::memory_order_relaxed) != CurrentQueue()) {
        // Only the owning thread destroys a window; ask it to.
        return PostDestroyRequest(hwnd) ? TRUE : FALSE;
    }
    w->destroying.store(true, std::memory_order_relaxed);
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
