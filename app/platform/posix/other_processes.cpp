// What another process may ask of this one: a registered message, WM_CLOSE
// or WM_DESTROY to every top-level window or to one of them, as Windows
// delivers them, and the control tool's destroy of a top-level window.
// Anything else is refused, and the transport drops and counts it: Windows
// refuses to post messages whose parameters are pointers (WM_CREATE) across
// processes, and child windows are not named to other processes here.
#include "queue.h"

namespace kp {

bool ReceiveFromOtherProcess(IpcKind kind, uint64_t target, UINT msg, WPARAM wParam, LPARAM lParam) {
    HWND hwnd = (HWND)(uintptr_t)target;
    bool broadcast = hwnd == HWND_BROADCAST;
    if (!broadcast && !IsLocalTopLevel(hwnd)) return false;
    if (kind == IPC_DESTROY) return !broadcast && PostDestroyRequest(hwnd);
    bool registered = msg >= kFirstRegisteredMessage && msg <= kLastRegisteredMessage;
    if (!registered && msg != WM_CLOSE && msg != WM_DESTROY) return false;
    // Counted against the share of other processes (see HasRoom).
    PostingForOtherProcess(true);
    if (broadcast) PostToLocalTopLevel(msg, wParam, lParam);
    else PostMessage(hwnd, msg, wParam, lParam);
    PostingForOtherProcess(false);
    return true;
}

}  // namespace kp
