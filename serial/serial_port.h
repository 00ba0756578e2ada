// The serial port the receiver is attached to, and its receive queue.
//
// Thread rules: Open and Close on the main thread; Read on the reader thread
// only. The reader thread reads m_hPort and m_bRunning, fills m_QueueRead and
// clears m_hThread; the main thread drains m_QueueRead.
#ifndef KESTA_SERIAL_PORT_H
#define KESTA_SERIAL_PORT_H

#include "byte_queue.h"

enum {
    SERIAL_PORT_NAME_CHARS = 16,
    SERIAL_READ_CHUNK = 4096,     // bytes the reader asks for per Read
    SERIAL_DRIVER_QUEUE = 4192,   // driver queue size requested each way
    SERIAL_LINE_BITS = 19200      // write time-out per byte = this / baud, ms
};

struct SerialPort {
    HANDLE m_hPort;                 // 0 before Open and after Close; -1 after a failed device open
    WCHAR m_sPortName[SERIAL_PORT_NAME_CHARS];
    volatile LONG m_bRunning;       // 1 while the reader thread is to run
    OVERLAPPED m_OverlappedRead;
    OVERLAPPED m_OverlappedWrite;   // prepared, never used for a write
    HANDLE m_hThread;               // the reader thread; 0 once it has ended
    ByteQueue m_QueueRead;
};

// The one serial port of the process.
extern SerialPort g_SerialPort;

// Opens and configures the device, starts the reader thread and hands the
// handle to the UBX commands. 1 when all that happened, 0 otherwise.
int Open(SerialPort* port, LPCWSTR portName, DWORD baudRate, BYTE byteSize,
         BYTE stopBits, BYTE parity);
// Tells the reader thread to stop, wakes it and closes the device; does not
// wait. Safe to call again: a port already closed is left alone.
BOOL Close(SerialPort* port);
// Whatever the driver holds, up to maxLength bytes; never blocks; 0 when
// nothing is waiting or on any error.
DWORD Read(SerialPort* port, BYTE* buffer, DWORD maxLength);

#endif
