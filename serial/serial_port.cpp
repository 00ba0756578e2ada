#include "serial_port.h"

#include "../app/debug_log.h"
#include "../app/main_window.h"
#include "../ubx/ubx_sink.h"
#include "gps_thread.h"

SerialPort g_SerialPort;

namespace {
// Zeroes the port before AppMain runs.
struct SerialPortInit {
    SerialPortInit() {
        memset(&g_SerialPort, 0, sizeof(g_SerialPort));
        Clear(&g_SerialPort.m_QueueRead);
    }
} s_SerialPortInit;

int PrepareOverlapped(OVERLAPPED* ov) {
    ov->Offset = 0;
    ov->OffsetHigh = 0;
    ov->hEvent = CreateEvent(0, TRUE, FALSE, 0);
    return ov->hEvent != 0;
}

int HasDevice(HANDLE h) {
    return h != 0 && h != INVALID_HANDLE_VALUE;
}
}  // namespace

int Open(SerialPort* port, LPCWSTR portName, DWORD baudRate, BYTE byteSize,
         BYTE stopBits, BYTE parity) {
    if (!PrepareOverlapped(&port->m_OverlappedRead)) return 0;
    if (!PrepareOverlapped(&port->m_OverlappedWrite)) return 0;

    StringCchCopy(port->m_sPortName, SERIAL_PORT_NAME_CHARS, portName);
    NKDbgPrintfW(L"m_sPortName --- > %s \r\n", port->m_sPortName);

    HANDLE h = CreateFile(port->m_sPortName, GENERIC_READ | GENERIC_WRITE, 0, 0, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, 0);
    PlatformStoreHandle(&port->m_hPort, h);
    if (h == INVALID_HANDLE_VALUE) {
        NKDbgPrintfW(L"m_sPortName --- > %s Failed !!\r\n", port->m_sPortName);
        if (g_hMainWnd) PostMessage(g_hMainWnd, WM_CLOSE, 0, 0);
        return 0;
    }

    SetCommMask(h, EV_RXCHAR);
    SetupComm(h, SERIAL_DRIVER_QUEUE, SERIAL_DRIVER_QUEUE);
    PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

    // Reads return at once with what the driver holds; a write of n bytes
    // may take n times one byte's worth of line time (twice over).
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = SERIAL_LINE_BITS / baudRate;
    timeouts.WriteTotalTimeoutConstant = 0;
    SetCommTimeouts(h, &timeouts);

    // Only the four line settings change; flow control, the special
    // characters and the rest keep what the driver reports.
    DCB dcb;
    memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(DCB);
    GetCommState(h, &dcb);
    dcb.BaudRate = baudRate;
    dcb.ByteSize = byteSize;
    dcb.Parity = parity;
    dcb.StopBits = stopBits;
    if (!SetCommState(h, &dcb)) return 0;

    // Published before the thread exists; the thread's acquire of the flag
    // at each pass pairs with this release and with Close's.
    PlatformStoreRelease(&port->m_bRunning, 1);
    HANDLE thread = CreateThread(0, 0, GPSThread, port, 0, 0);
    PlatformStoreHandle(&port->m_hThread, thread);
    if (thread == 0) {
        Close(port);
        return 0;
    }
    UbxState.m_hPort = h;
    return 1;
}

BOOL Close(SerialPort* port) {
    // Release: the reader's next acquire of the flag ends its loop.
    PlatformStoreRelease(&port->m_bRunning, 0);
    HANDLE h = PlatformLoadHandle(&port->m_hPort);
    if (!HasDevice(h)) return FALSE;
    // Clearing the mask ends the reader's pending wait with no event.
    SetCommMask(h, 0);
    PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    // No copy of the handle survives, so a second Close and a later UBX
    // command find no port instead of whatever reuses the value.
    PlatformStoreHandle(&port->m_hPort, 0);
    UbxState.m_hPort = 0;
    return CloseHandle(h);
}

DWORD Read(SerialPort* port, BYTE* buffer, DWORD maxLength) {
    HANDLE h = PlatformLoadHandle(&port->m_hPort);
    DWORD errors = 0;
    COMSTAT stat;
    memset(&stat, 0, sizeof(stat));
    if (!ClearCommError(h, &errors, &stat) || stat.cbInQue == 0) return 0;
    DWORD count = stat.cbInQue;
    if (ReadFile(h, buffer, maxLength, &count, &port->m_OverlappedRead)) return count;
    if (GetLastError() != ERROR_IO_PENDING) {
        ClearCommError(h, &errors, &stat);
        return 0;
    }
    for (;;) {
        if (GetOverlappedResult(h, &port->m_OverlappedRead, &count, FALSE)) return count;
        if (GetLastError() != ERROR_IO_INCOMPLETE) {
            ClearCommError(h, &errors, &stat);
            return count;
        }
        Sleep(1);
    }
}
