#include "message_sink.h"

#include "debug_log.h"

void CreateMessageSink(MessageSink* sink, HWND parent, HINSTANCE instance,
                       LPCWSTR title, WNDPROC proc) {
    HWND hwnd = CreateWindowEx(0, L"static", title, WS_CHILD | WS_VISIBLE | WS_CAPTION,
                               0, 0, 0, 0, parent, 0, instance, 0);
    PlatformStoreHwnd(&sink->m_hWnd, hwnd);
    if (hwnd == 0) {
        DebugLog(LOG_RED, L"Handle is NULL..!!!!!!!!!! \r\n");
    } else {
        WCHAR text[SINK_TEXT_CHARS];
        GetWindowText(hwnd, text, SINK_TEXT_CHARS);
        DebugLog(LOG_RED, L"WindowText(%s) \r\n", text);
    }
    sink->m_OldWndProc = (WNDPROC)SetWindowLongPtr(hwnd, GWL_WNDPROC, (LONG_PTR)proc);
}

void SinkClosed(MessageSink* sink) {
    PlatformStoreHwnd(&sink->m_hWnd, 0);
}
