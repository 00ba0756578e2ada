// The main thread's byte path, driven as the service drives it, for the
// replay tool, the bench, the fuzz harness and the tests: the bytes the
// reader thread read go into the byte queue, one DATA_READ is posted to the
// data-ready sink, and the thread's messages are handled until none is left
// (the drain's per-byte posts to the UBX sink among them). Main thread only,
// with the data-ready sink created.
#pragma once

#include "app/messages.h"
#include "nmea/data_read_sink.h"
#include "serial/serial_port.h"

#include <cstdint>

// Handles every message waiting for this thread; a WM_QUIT is taken, not
// dispatched.
inline void PumpMessages() {
    MSG msg;
    while (PeekMessage(&msg, 0, 0, 0, PM_REMOVE))
        if (msg.message != WM_QUIT) DispatchMessage(&msg);
}

// One drain of n bytes; false, with nothing queued, when the byte queue
// cannot take them all.
inline bool FeedDrain(const void* bytes, int n) {
    if (!PushAll(&g_SerialPort.m_QueueRead, (const BYTE*)bytes, n)) return false;
    PostMessage(DataReadSink.m_hWnd, DATA_READ, 0, 0);
    PumpMessages();
    return true;
}

// A small, fixed generator (xorshift32) for drain sizes, so that a seed gives
// the same splits everywhere; the state must not be 0.
inline uint32_t NextSplit(uint32_t* state) {
    uint32_t x = *state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return *state = x;
}
