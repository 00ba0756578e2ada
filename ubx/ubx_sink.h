// The UBX sink: watches every received byte for UBX frames (MON-VER, ACK-ACK,
// ACK-NAK) and runs the receiver configuration sequence from them.
// Main thread only.
#ifndef KESTA_UBX_SINK_H
#define KESTA_UBX_SINK_H

#include "../app/message_sink.h"

enum {
    UBX_FRAME_BYTES = 128,
    UBX_SYNC_1 = 0xB5,
    UBX_SYNC_2 = 0x62,
    UBX_FRAME_START_INDEX = 2,     // class; 0 is the sync latch, 1 the 0x62
    UBX_HEADER_BYTES = 6,          // sync latch, 0x62, class, id, length
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
    UBX_MON_VER_EXAMINE_INDEX = 45 // examined once frame index 44 has arrived
};

struct UbxStateRecord {
    LONG m_bAnaEnabled;      // first configuration step acknowledged
    LONG m_b30CmEnabled;     // second step acknowledged
    LONG m_bHeadingEnabled;  // third step acknowledged
    LONG m_bVersionChecked;  // a u-blox 7 version report was handled
    LONG m_bFrameActive;     // a frame is being collected
    LONG m_nFrameIndex;      // where the next frame byte goes
    HANDLE m_hPort;          // the serial port's handle; 0 when there is none
};

extern UbxStateRecord UbxState;
extern BYTE m_UbxFrame[UBX_FRAME_BYTES];
extern MessageSink UbxSink;

void CreateUbxSink(MessageSink* sink, HWND parent, HINSTANCE instance);
LRESULT CALLBACK UbxProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Feeds one received byte to the frame watcher.
void UbxByteStep(BYTE b);

#endif
