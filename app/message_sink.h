// A message sink: a hidden "static" child window of the main window whose
// window procedure is replaced. Main thread only, except m_hWnd, which the
// reader thread may read (through SinkWindow) to post to the sink.
#ifndef KESTA_MESSAGE_SINK_H
#define KESTA_MESSAGE_SINK_H

#include "platform/platform.h"

enum { SINK_TEXT_CHARS = 256 };

struct MessageSink {
    HWND m_hWnd;            // 0 before creation, on failure, and once closed
    WNDPROC m_OldWndProc;   // the "static" procedure that was replaced
};

// Creates the child window titled `title` under `parent`, logs its text (or
// the failure) in red, and replaces its procedure with `proc`.
void CreateMessageSink(MessageSink* sink, HWND parent, HINSTANCE instance,
                       LPCWSTR title, WNDPROC proc);
// The sink's window, read whole; safe from any thread. Inline, with
// SinkPassOn: both run for every byte received.
inline HWND SinkWindow(const MessageSink* sink) { return PlatformLoadHwnd(&sink->m_hWnd); }
// Marks the sink closed: nothing is posted to it any more.
void SinkClosed(MessageSink* sink);
// Hands a message to the replaced procedure and returns its result.
inline LRESULT SinkPassOn(const MessageSink* sink, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return CallWindowProc(sink->m_OldWndProc, hwnd, msg, wParam, lParam);
}

#endif
