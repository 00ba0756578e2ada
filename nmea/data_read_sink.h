// The data-ready sink: on DATA_READ it drains the receive queue on the main
// thread, assembles lines from '$' to line feed, decodes "$GPRMC" lines and
// forwards every byte to the UBX sink. Main thread only, except that the
// reader thread reads the sink's window through SinkWindow.
#ifndef KESTA_DATA_READ_SINK_H
#define KESTA_DATA_READ_SINK_H

#include "../app/message_sink.h"

enum {
    NMEA_LINE_BYTES = 81,  // a longer line keeps its first 81 bytes
    NMEA_RMC_PREFIX_BYTES = 6
};

extern MessageSink DataReadSink;

void CreateDataReadSink(MessageSink* sink, HWND parent, HINSTANCE instance);
LRESULT CALLBACK DataReadProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

#endif
