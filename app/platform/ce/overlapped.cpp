// GetOverlappedResult, looked up in coredll when first needed instead of
// imported: a program importing a function its coredll lacks does not load.
#include "../platform.h"

namespace {

typedef BOOL (WINAPI* OverlappedResultProc)(HANDLE, OVERLAPPED*, DWORD*, BOOL);

// Either thread may look it up; both find the same address.
OverlappedResultProc volatile s_proc = 0;
LONG volatile s_looked = 0;

OverlappedResultProc Lookup() {
    if (!PlatformLoadAcquire(&s_looked)) {
        HMODULE coredll = GetModuleHandle(L"coredll.dll");
        s_proc = coredll ? (OverlappedResultProc)GetProcAddress(coredll, L"GetOverlappedResult") : 0;
        PlatformStoreRelease(&s_looked, 1);
    }
    return s_proc;
}

}  // namespace

BOOL PlatformOverlappedResult(HANDLE file, OVERLAPPED* ov, DWORD* transferred, BOOL wait) {
    OverlappedResultProc proc = Lookup();
    if (proc) return proc(file, ov, transferred, wait);
    // Without it the operation is finished when its event is set, and the
    // count is where the completion record keeps it.
    DWORD r = WaitForSingleObject(ov->hEvent, wait ? INFINITE : 0);
    if (r == WAIT_TIMEOUT) {
        SetLastError(ERROR_IO_INCOMPLETE);
        return FALSE;
    }
    if (r != WAIT_OBJECT_0) return FALSE;
    *transferred = (DWORD)ov->InternalHigh;
    return TRUE;
}
