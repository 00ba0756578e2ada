// The UBX sink: watches every received byte for UBX frames (MON-VER, ACK-ACK,
// ACK-NAK) and runs the receiver configuration sequence from them.
// Main thread only.
#ifndef KESTA_UBX_SINK_H
#define KESTA_UBX_SINK_H

#include "../app/message_sink.h"

// Frame indices are positions in m_UbxFrame, which holds a frame from its
// second sync byte on: 0 is the sync latch, 1 the 0x62.
enum {
    UBX_FRAME_BYTES = 128,
    UBX_SYNC_1 = 0xB5,
    UBX_SYNC_2 = 0x62,
    UBX_CLASS_INDEX = 2,           // also where the next byte goes at a frame's start
    UBX_ID_INDEX = 3,
    UBX_LENGTH_HIGH_INDEX = 5,     // the header's last byte: a frame is examined from here on
    UBX_CLASS_ACK = 0x05,
    UBX_ID_ACK_NAK = 0x00,
    UBX_ID_ACK_ACK = 0x01,
    UBX_CLASS_MON = 0x0A,
    UBX_ID_MON_VER = 0x04,
    UBX_SW_VERSION_INDEX = 6,      // 30-byte software version field
    UBX_SW_VERSION_BYTES = 30,
    UBX_HW_VERSION_INDEX = 36,     // 10-byte hardware version field
    UBX_HW_VERSION_BYTES = 10,
    UBX_HW_GENERATION_INDEX = 39,  // fourth hardware character: '7' for u-blox 7
    UBX_MON_VER_ACT_INDEX = 44     // a version report acts once the byte here is stored
};

struct UbxStateRecord {
    LONG m_bAnaEnabled;      // first configuration step acknowledged
    LONG m_b30CmEnabled;     // second step acknowledged
    LONG m_bHeadingEnabled;  // third step acknowledged
    LONG m_bVersionChecked;  // a u-blox 7 version report was handled
    LONG m_bFrameActive;     // a frame is being collected
    LONG m_nFrameIndex;      // the index the next frame byte is stored at
    HANDLE m_hPort;          // the serial port's handle; 0 when there is none
};

extern UbxStateRecord UbxState;
extern BYTE m_UbxFrame[UBX_FRAME_BYTES];
extern MessageSink UbxSink;

void CreateUbxSink(MessageSink* sink, HWND parent, HINSTANCE instance);
// UBLOXPARSINGMSG carries one received byte (lParam) to the frame watcher.
LRESULT CALLBACK UbxProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

#endif
