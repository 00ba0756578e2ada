#include "gps_thread.h"

#include "../app/debug_log.h"
#include "../app/messages.h"
#include "../nmea/data_read_sink.h"
#include "../nmea/nmea_record.h"
#include "serial_port.h"

static const double KMH_PER_KNOT = 1.852;

DWORD KmhFromKnots(double knots) {
    double kmh = knots * KMH_PER_KNOT;
    // Converting an out-of-range double to an integer is undefined, so the
    // range is settled first; !(kmh > 0) also catches not-a-number.
    if (!(kmh > 0)) return 0;
    if (kmh >= (double)BROADCAST_SPEED_MAX) return BROADCAST_SPEED_MAX;
    return (DWORD)kmh;
}

// Stores each chunk whole or drops it whole, until the driver is empty.
void DrainPort(SerialPort* port, BYTE* buffer) {
    for (;;) {
        DWORD n = Read(port, buffer, SERIAL_READ_CHUNK);
        int room = BYTE_QUEUE_SLOTS - Count(&port->m_QueueRead);
        if ((int)n < room) {
            if (n == 0) return;
            PushAll(&port->m_QueueRead, buffer, (int)n);
        } else {
            DebugLog(LOG_RED, L"m_QueueRead FULL");
        }
    }
}

DWORD WINAPI GPSThread(LPVOID param) {
    SerialPort* port = (SerialPort*)param;
    BYTE buffer[SERIAL_READ_CHUNK];
    if (!SetCommMask(PlatformLoadHandle(&port->m_hPort), EV_RXCHAR)) {
        // A port closed before this thread got going is a normal end, not
        // a refusal: Close has already cleared the handle.
        if (PlatformLoadAcquire(&port->m_bRunning)) return 0;
        PlatformStoreHandle(&port->m_hThread, 0);
        return 1;
    }
    while (PlatformLoadAcquire(&port->m_bRunning)) {
        DWORD mask = 0;
        WaitCommEvent(PlatformLoadHandle(&port->m_hPort), &mask, 0);
        if (mask & EV_RXCHAR) {
            DrainPort(port, buffer);
            // A post to 0 would land in this thread's own queue on the real
            // platform: skip it once the sink has closed.
            HWND sink = SinkWindow(&DataReadSink);
            if (sink) PostMessage(sink, DATA_READ, 0, 0);
            char status;
            double speed;
            GetFixSnapshot(&status, &speed);
            PostMessage(HWND_BROADCAST, KESTA_GPS_MSG, (WPARAM)KmhFromKnots(speed),
                        status != 'V' ? 1 : 0);
        }
        Sleep(READER_PAUSE_MS);
    }
    PlatformStoreHandle(&port->m_hThread, 0);
    return 1;
}
