// Per-thread message queues, window classes, windows and registered messages.
#include "internal.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <vector>

namespace kp {

struct Item {
    MSG msg;
    bool destroyRequest;
};

struct Queue {
    std::mutex m;
    std::condition_variable cv;
    std::deque<Item> items;
    bool quit = false;
    int quitCode = 0;
};

namespace {

struct Window {
    HWND hwnd = 0;
    std::wstring cls;
    std::wstring title;
    WNDPROC proc = nullptr;
    HWND parent = 0;
    std::weak_ptr<Queue> owner;
    bool topLevel = false;
    std::atomic<bool> destroying{false};
    long remotePid = 0;         // a window of another process (FindWindow)
    uint64_t remoteHwnd = 0;
};

struct State {
    std::mutex m;
    std::map<uintptr_t, std::shared_ptr<Window>> windows;
    std::map<std::wstring, WNDCLASS> classes;
    std::map<UINT, std::wstring> messages;
    uintptr_t next = 0x20000;
};

State& S() {
    static State* s = new State;  // never destroyed: see Handles()
    return *s;
}

thread_local std::shared_ptr<Queue> t_queue;

std::shared_ptr<Window> Find(HWND hwnd) {
    State& s = S();
    std::lock_guard<std::mutex> lock(s.m);
    auto it = s.windows.find((uintptr_t)hwnd);
    return it == s.windows.end() ? nullptr : it->second;
}

bool Push(const std::shared_ptr<Queue>& q, const MSG& msg, bool destroyRequest) {
    if (!q) return false;
    std::lock_guard<std::mutex> lock(q->m);
    q->items.push_back(Item{msg, destroyRequest});
    q->cv.notify_one();
    return true;
}

MSG MakeMsg(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    MSG m = {};
    m.hwnd = hwnd;
    m.message = msg;
    m.wParam = wParam;
    m.lParam = lParam;
    m.time = GetTickCount();
    return m;
}

LRESULT CALLBACK StaticWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return DefWindowProc(hwnd, msg, wParam, lParam);
}

}  // namespace

std::shared_ptr<Queue> CurrentQueue() {
    if (!t_queue) t_queue = std::make_shared<Queue>();
    return t_queue;
}

bool PostDestroyRequest(HWND hwnd) {
    auto w = Find(hwnd);
    if (!w || w->remotePid) return false;
    return Push(w->owner.lock(), MakeMsg(hwnd, 0, 0, 0), true);
}

void PostToLocalTopLevel(UINT msg, WPARAM wParam, LPARAM lParam) {
    std::vector<std::shared_ptr<Window>> targets;
    {
        State& s = S();
        std::lock_guard<std::mutex> lock(s.m);
        for (auto& kv : s.windows)
            if (kv.second->topLevel && !kv.second->remotePid) targets.push_back(kv.second);
    }
    for (auto& w : targets) Push(w->owner.lock(), MakeMsg(w->hwnd, msg, wParam, lParam), false);
}

void DestroyRequestAllTopLevel() {
    std::vector<HWND> targets;
    {
        State& s = S();
        std::lock_guard<std::mutex> lock(s.m);
        for (auto& kv : s.windows)
            if (kv.second->topLevel && !kv.second->remotePid) targets.push_back(kv.second->hwnd);
    }
    for (HWND h : targets) PostDestroyRequest(h);
}

bool AnyTopLevel() {
    State& s = S();
    std::lock_guard<std::mutex> lock(s.m);
    for (auto& kv : s.windows)
        if (kv.second->topLevel && !kv.second->remotePid) return true;
    return false;
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
        fprintf(stderr, "platform: message \"%s\" collides with \"%s\" at 0x%X\n",
                ToUtf8(name).c_str(), ToUtf8(it->second.c_str()).c_str(), msg);
        msg = msg == 0xFFFF ? 0xC000 : msg + 1;
    }
    return 0;
}

BOOL PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (hwnd == HWND_BROADCAST) {
        PostToLocalTopLevel(msg, wParam, lParam);
        IpcBroadcast(msg, wParam, lParam);
        return TRUE;
    }
    // On the real platform a post to 0 becomes a thread message of the
    // poster; nothing here relies on that, so it is refused.
    auto w = hwnd ? Find(hwnd) : nullptr;
    if (!w || w->destroying) {
        SetLastError(1400);  // ERROR_INVALID_WINDOW_HANDLE
        return FALSE;
    }
    if (w->remotePid) {
        if (IpcSend(w->remotePid, w->remoteHwnd, IPC_POST, msg, wParam, lParam)) return TRUE;
        SetLastError(1400);
        return FALSE;
    }
    if (!Push(w->owner.lock(), MakeMsg(hwnd, msg, wParam, lParam), false)) {
        SetLastError(1400);
        return FALSE;
    }
    return TRUE;
}

void PostQuitMessage(int exitCode) {
    auto q = CurrentQueue();
    std::lock_guard<std::mutex> lock(q->m);
    q->quit = true;
    q->quitCode = exitCode;
    q->cv.notify_one();
}

static BOOL TakeMessage(MSG* msg, bool wait, bool remove) {
    auto q = CurrentQueue();
    for (;;) {
        Item item;
        {
            std::unique_lock<std::mutex> lock(q->m);
            if (wait) q->cv.wait(lock, [&] { return !q->items.empty() || q->quit; });
            if (q->items.empty()) {
                if (!q->quit) return FALSE;
                // Like WM_QUIT, the quit flag is seen only once the posted
                // messages are taken.
                *msg = MakeMsg(0, WM_QUIT, (WPARAM)q->quitCode, 0);
                if (remove) q->quit = false;
                return wait ? FALSE : TRUE;
            }
            item = q->items.front();
            if (!remove && !item.destroyRequest) {
                *msg = item.msg;
                return TRUE;
            }
            q->items.pop_front();
        }
        if (item.destroyRequest) {
            DestroyWindow(item.msg.hwnd);
            continue;
        }
        *msg = item.msg;
        return TRUE;
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
    if (!msg || !msg->hwnd) return 0;
    auto w = Find(msg->hwnd);
    if (!w || w->remotePid || !w->proc) return 0;
    return w->proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
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
        SetLastError(1410);  // ERROR_CLASS_ALREADY_EXISTS
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
    auto w = std::make_shared<Window>();
    w->cls = className;
    w->title = title ? title : L"";
    w->parent = parent;
    w->owner = CurrentQueue();
    w->topLevel = parent == 0;
    {
        State& s = S();
        std::lock_guard<std::mutex> lock(s.m);
        if (w->cls == L"static") {
            w->proc = StaticWndProc;
        } else {
            auto it = s.classes.find(w->cls);
            if (it == s.classes.end()) {
                SetLastError(1407);  // ERROR_CANNOT_FIND_WND_CLASS
                return 0;
            }
            w->proc = it->second.lpfnWndProc;
        }
        if (parent) {
            auto p = s.windows.find((uintptr_t)parent);
            if (p == s.windows.end() || p->second->remotePid || p->second->destroying) {
                SetLastError(1400);
                return 0;
            }
        } else if (style & WS_CHILD) {
            SetLastError(1406);  // ERROR_TLW_WITH_WSCHILD
            return 0;
        }
        w->hwnd = (HWND)s.next;
        s.next += 2;
        s.windows[(uintptr_t)w->hwnd] = w;
    }
    if (w->proc(w->hwnd, WM_CREATE, 0, 0) == -1) {
        DestroyWindow(w->hwnd);
        return 0;
    }
    if (!Find(w->hwnd)) return 0;  // destroyed during creation
    if (w->topLevel) IpcRegisterWindow(w->hwnd, w->cls, w->title);
    return w->hwnd;
}

BOOL DestroyWindow(HWND hwnd) {
    auto w = Find(hwnd);
    if (!w || w->destroying) {
        SetLastError(1400);
        return FALSE;
    }
    if (w->remotePid) return IpcSend(w->remotePid, w->remoteHwnd, IPC_DESTROY, 0, 0, 0);
    if (w->owner.lock() != CurrentQueue()) {
        // Only the owning thread destroys a window; ask it to.
        return PostDestroyRequest(hwnd) ? TRUE : FALSE;
    }
    w->destroying = true;
    if (w->topLevel) IpcUnregisterWindow(hwnd);
    w->proc(hwnd, WM_DESTROY, 0, 0);
    // Children get WM_DESTROY after their parent.
    std::vector<HWND> children;
    {
        State& s = S();
        std::lock_guard<std::mutex> lock(s.m);
        for (auto& kv : s.windows)
            if (kv.second->parent == hwnd) children.push_back(kv.second->hwnd);
    }
    for (HWND c : children) DestroyWindow(c);
    State& s = S();
    std::lock_guard<std::mutex> lock(s.m);
    s.windows.erase((uintptr_t)hwnd);
    return TRUE;
}

BOOL IsWindow(HWND hwnd) {
    auto w = Find(hwnd);
    return w && !w->destroying;
}

HWND FindWindow(LPCWSTR className, LPCWSTR title) {
    std::wstring cls = className ? className : L"";
    std::wstring ttl = title ? title : L"";
    State& s = S();
    {
        std::lock_guard<std::mutex> lock(s.m);
        for (auto& kv : s.windows) {
            Window& w = *kv.second;
            if (!w.topLevel || w.remotePid || w.destroying) continue;
            if (className && w.cls != cls) continue;
            if (title && w.title != ttl) continue;
            return w.hwnd;
        }
    }
    long pid = 0;
    uint64_t remote = 0;
    if (!IpcFind(className ? &cls : nullptr, title ? &ttl : nullptr, &pid, &remote)) return 0;
    auto w = std::make_shared<Window>();
    w->cls = cls;
    w->title = ttl;
    w->topLevel = true;
    w->remotePid = pid;
    w->remoteHwnd = remote;
    std::lock_guard<std::mutex> lock(s.m);
    w->hwnd = (HWND)s.next;
    s.next += 2;
    s.windows[(uintptr_t)w->hwnd] = w;
    return w->hwnd;
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
    auto w = Find(hwnd);
    if (!w || w->remotePid || index != GWL_WNDPROC || !value) {
        SetLastError(w ? ERROR_INVALID_PARAMETER : 1400);
        return 0;
    }
    State& s = S();
    std::lock_guard<std::mutex> lock(s.m);
    WNDPROC old = w->proc;
    w->proc = (WNDPROC)value;
    return (LONG_PTR)old;
}

LONG_PTR GetWindowLongPtr(HWND hwnd, int index) {
    auto w = Find(hwnd);
    if (!w || w->remotePid || index != GWL_WNDPROC) return 0;
    State& s = S();
    std::lock_guard<std::mutex> lock(s.m);
    return (LONG_PTR)w->proc;
}

BOOL SetWindowText(HWND hwnd, LPCWSTR text) {
    auto w = Find(hwnd);
    if (!w || w->remotePid) {
        SetLastError(1400);
        return FALSE;
    }
    {
        State& s = S();
        std::lock_guard<std::mutex> lock(s.m);
        w->title = text ? text : L"";
    }
    if (w->topLevel && !w->destroying) IpcRegisterWindow(hwnd, w->cls, w->title);
    return TRUE;
}

int GetWindowText(HWND hwnd, LPWSTR text, int maxCount) {
    if (!text || maxCount <= 0) return 0;
    text[0] = 0;
    auto w = Find(hwnd);
    if (!w) return 0;
    State& s = S();
    std::lock_guard<std::mutex> lock(s.m);
    int n = 0;
    for (; n < maxCount - 1 && n < (int)w->title.size(); ++n) text[n] = w->title[n];
    text[n] = 0;
    return n;
}

BOOL ShowWindow(HWND hwnd, int) { return IsWindow(hwnd); }
BOOL UpdateWindow(HWND hwnd) { return IsWindow(hwnd); }
HICON LoadIcon(HINSTANCE, LPCWSTR) { return (HICON)(ULONG_PTR)0x65; }
HGDIOBJ GetStockObject(int index) { return index >= 0 && index < 20 ? (HGDIOBJ)(ULONG_PTR)(0x100 + index) : 0; }
HINSTANCE GetModuleHandle(LPCWSTR) { return (HINSTANCE)(ULONG_PTR)0x10000; }
