#include "main_window.h"

#include "../nmea/data_read_sink.h"
#include "../serial/serial_port.h"
#include "../ubx/ubx_sink.h"

HINSTANCE g_hInstance = 0;
HWND g_hMainWnd = 0;

static const DWORD kBaudRates[] = {4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200};
static const BYTE kByteSizes[] = {5, 6, 7, 8};
static const char* const kPortNames[] = {"", "COM1:", "COM2:", "COM3:", "COM4:",
                                          "COM5:", "COM6:", "COM7:", "COM8:", "COM9:"};

DWORD GetBaudRate(DWORD index) {
    return index < sizeof(kBaudRates) / sizeof(kBaudRates[0]) ? kBaudRates[index] : 0;
}

BYTE GetByteSize(DWORD index) {
    return index < sizeof(kByteSizes) / sizeof(kByteSizes[0]) ? kByteSizes[index] : 0;
}

void GetPortName(DWORD index, WCHAR* out, int outChars) {
    if (!out || outChars <= 0) return;
    out[0] = 0;
    if (index == 0 || index >= sizeof(kPortNames) / sizeof(kPortNames[0])) return;
    const char* name = kPortNames[index];
    int n = (int)strlen(name) + 1;
    if (n <= outChars) MultiByteToWideChar(CP_ACP, 0, name, -1, out, outChars);
}

LRESULT CALLBACK MainWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_CREATE: {
        g_hMainWnd = hwnd;
        SetWindowText(hwnd, L"KESTA_GPS");
        CreateUbxSink(&UbxSink, hwnd, g_hInstance);
        CreateDataReadSink(&DataReadSink, hwnd, g_hInstance);
        BYTE byteSize = GetByteSize(BYTE_SIZE_INDEX);
        DWORD baudRate = GetBaudRate(BAUD_RATE_INDEX);
        WCHAR portName[PORT_NAME_CHARS];
        GetPortName(PORT_NAME_INDEX, portName, PORT_NAME_CHARS);
        Open(&g_SerialPort, portName, baudRate, byteSize, ONESTOPBIT, NOPARITY);
        NKDbgPrintfW(L"GPSThread START !! \r\n");
        return 0;
    }
    case WM_CLOSE: {
        // A closed sink holds 0; a post to 0 would land in this thread's own
        // queue on the real platform, so it is skipped.
        HWND ubx = SinkWindow(&UbxSink);
        if (ubx) PostMessage(ubx, WM_CLOSE, 0, 0);
        HWND dataRead = SinkWindow(&DataReadSink);
        if (dataRead) PostMessage(dataRead, WM_CLOSE, 0, 0);
        Close(&g_SerialPort);
        return 0;
    }
    case WM_DESTROY:
        Close(&g_SerialPort);
        PostQuitMessage(0);
        return 0;
    case WM_COMMAND:
        return 0;
    default:
        return DefWindowProc(hwnd, msg, wParam, lParam);
    }
}
