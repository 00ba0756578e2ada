// The reader thread: waits for received characters, drains the port into the
// receive queue, then posts DATA_READ and the "KESTA_GPS" broadcast.
#ifndef KESTA_GPS_THREAD_H
#define KESTA_GPS_THREAD_H

#include "../app/platform/platform.h"

enum {
    READER_PAUSE_MS = 200,            // after every pass: at most five a second
    BROADCAST_SPEED_MAX = 0xFFFFFFFF  // the target's wParam is 32 bits
};

// Entry of the reader thread; param is the SerialPort. 1 after a normal end,
// 0 when the port refused its event mask.
DWORD WINAPI GPSThread(LPVOID param);

// Knots to whole km/h, truncated; negative or not-a-number speeds give 0 and
// speeds beyond the wParam range give BROADCAST_SPEED_MAX.
DWORD KmhFromKnots(double knots);

struct SerialPort;
// One drain of the reader thread: reads the driver empty, SERIAL_READ_CHUNK
// bytes at a time, into buffer and on into the port's byte queue.
void DrainPort(SerialPort* port, BYTE* buffer);

#endif
