// The hidden main window: builds the service on WM_CREATE and takes it down
// on WM_CLOSE and WM_DESTROY. Main thread only.
#ifndef KESTA_MAIN_WINDOW_H
#define KESTA_MAIN_WINDOW_H

#include "platform/platform.h"

enum {
    BYTE_SIZE_INDEX = 3,  // GetByteSize: 8 data bits
    BAUD_RATE_INDEX = 1,  // GetBaudRate: 9600
    PORT_NAME_INDEX = 1,  // GetPortName: "COM1:"
    PORT_NAME_CHARS = 8
};

extern HINSTANCE g_hInstance;  // set by InitMainWindow
extern HWND g_hMainWnd;        // set when WM_CREATE arrives

LRESULT CALLBACK MainWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// The line-setting lookups; pure.
DWORD GetBaudRate(DWORD index);  // 0 for an index outside the table
BYTE GetByteSize(DWORD index);   // 0 for an index outside the table
// Writes "COMn:" for index 1..9, an empty text otherwise.
void GetPortName(DWORD index, WCHAR* out, int outChars);

#endif
