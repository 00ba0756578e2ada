#include "data_read_sink.h"

#include "../app/messages.h"
#include "../serial/serial_port.h"
#include "../ubx/ubx_sink.h"
#include "sentence_decoder.h"

MessageSink DataReadSink = {0, 0};

// The line being assembled. Its state outlives one DATA_READ: the reader
// wakes on the first characters of a burst, so a line routinely arrives over
// two or more batches and must be assembled as if it had come in one.
static BYTE s_Line[NMEA_LINE_BYTES];
static int s_bInLine = 0;
static int s_nPosition = 0;

void CreateDataReadSink(MessageSink* sink, HWND parent, HINSTANCE instance) {
    CreateMessageSink(sink, parent, instance, L"READGPSDATAMSG", DataReadProc);
}

// Bytes taken from the queue at a time: one index update for many bytes.
enum { DRAIN_CHUNK_BYTES = 256 };

// Drains exactly the bytes counted at the start; bytes that arrive meanwhile
// wait for the next DATA_READ. A line still open at the end goes on there.
static void DrainQueue(int count) {
    int inLine = s_bInLine;
    int position = s_nPosition;
    BYTE chunk[DRAIN_CHUNK_BYTES];
    int have = 0, at = 0;
    for (int i = 0; i < count; ++i) {
        if (at == have) {
            int want = count - i < (int)sizeof(chunk) ? count - i : (int)sizeof(chunk);
            have = PopSome(&g_SerialPort.m_QueueRead, chunk, want);
            at = 0;
            if (have == 0) break;
        }
        BYTE b = chunk[at++];
        if (b == '$') {
            inLine = 1;
            s_Line[0] = b;
            position = 1;
        } else if (inLine) {
            if (b == '\n') {
                s_Line[NMEA_LINE_BYTES - 1] = 0;
                if (position >= NMEA_RMC_PREFIX_BYTES && memcmp(s_Line, "$GPRMC", NMEA_RMC_PREFIX_BYTES) == 0) {
                    // Each line starts afresh: an overlong line whose '*' was
                    // cut off must not swallow the next sentence.
                    ResetDecoder();
                    Decode(s_Line, (DWORD)position);
                }
                memset(s_Line, 0, sizeof(s_Line));
                inLine = 0;
                position = 0;
            } else if (position < NMEA_LINE_BYTES) {
                s_Line[position++] = b;
            }
        }
        // Every byte, in a line or not, goes on to the UBX watcher too.
        HWND ubx = SinkWindow(&UbxSink);
        if (ubx) PostMessage(ubx, UBLOXPARSINGMSG, 0, b);
    }
    s_bInLine = inLine;
    s_nPosition = position;
}

LRESULT CALLBACK DataReadProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == DATA_READ) {
        int count = Count(&g_SerialPort.m_QueueRead);
        if (count < 1) return -1;
        DrainQueue(count);
    } else if (msg == WM_CLOSE) {
        SinkClosed(&DataReadSink);
    }
    return SinkPassOn(&DataReadSink, hwnd, msg, wParam, lParam);
}
