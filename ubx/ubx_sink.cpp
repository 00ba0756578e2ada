#include "ubx_sink.h"

#include "../app/debug_log.h"
#include "../app/messages.h"
#include "ubx_commands.h"

UbxStateRecord UbxState = {0, 0, 0, 0, 0, UBX_CLASS_INDEX, 0};
BYTE m_UbxFrame[UBX_FRAME_BYTES];
MessageSink UbxSink = {0, 0};

static const WCHAR MARKER_VER7[] = L"\\UBLOX_GPS_VER7_NO_PATCH";
static const WCHAR MARKER_ANA_ENABLED[] = L"\\UBLOX_ANA_enabled";
static const WCHAR MARKER_ANA_FAILED[] = L"\\UBLOX_ANA_failed";

void CreateUbxSink(MessageSink* sink, HWND parent, HINSTANCE instance) {
    CreateMessageSink(sink, parent, instance, L"UBLOXMSG", UbxProc);
}

// An empty file whose existence is the record; failure goes unreported.
static void CreateMarker(LPCWSTR name) {
    HANDLE file = CreateFile(name, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

// Clears the frame, which also disarms the sync latch.
static void ResetFrame(void) {
    memset(m_UbxFrame, 0, sizeof(m_UbxFrame));
    UbxState.m_bFrameActive = 0;
    UbxState.m_nFrameIndex = UBX_CLASS_INDEX;
}

// MON-VER payload: swVersion[30], hwVersion[10], then extensions.
//   B5 62 0A 04 len, "1.00 (59842)" ..., "00070000" ...
static void VersionStep(void) {
    char software[UBX_SW_VERSION_BYTES + 1];
    char hardware[UBX_HW_VERSION_BYTES + 1];
    memcpy(software, m_UbxFrame + UBX_SW_VERSION_INDEX, UBX_SW_VERSION_BYTES);
    software[UBX_SW_VERSION_BYTES] = 0;
    memcpy(hardware, m_UbxFrame + UBX_HW_VERSION_INDEX, UBX_HW_VERSION_BYTES);
    hardware[UBX_HW_VERSION_BYTES] = 0;
    DebugLog(LOG_GREEN, L"GPS S/W Ver.%S", software);
    DebugLog(LOG_GREEN, L"GPS H/W Ver.%S", hardware);
    CreateMarker(MARKER_VER7);
    ResetFrame();
    if (UbxState.m_bAnaEnabled == 0) SetANAEnable(&UbxState);
    UbxState.m_bVersionChecked = 1;
}

// One configuration step per acknowledgement, the first not yet taken.
static void AcknowledgementStep(void) {
    if (UbxState.m_bAnaEnabled == 0) {
        CreateMarker(MARKER_ANA_ENABLED);
        DebugLog(LOG_GREEN, L"ACK : UBLOX_ANA_enabled");
        UbxState.m_bAnaEnabled = 1;
        Set30Cm(&UbxState);
    } else if (UbxState.m_b30CmEnabled == 0) {
        DebugLog(LOG_GREEN, L"ACK : UBLOX_30Cm_enabled");
        SetHeading(&UbxState);
        UbxState.m_b30CmEnabled = 1;
    } else if (UbxState.m_bHeadingEnabled == 0) {
        DebugLog(LOG_GREEN, L"ACK : UBLOX_Heading_enabled");
        UbxState.m_bHeadingEnabled = 1;
        HWND self = SinkWindow(&UbxSink);
        if (self) PostMessage(self, WM_CLOSE, 0, 0);
    }
}

// The frame so far, once its header is in: an acknowledgement acts at once,
// a version report once the byte at its index 44 is stored.
static void ExamineFrame(void) {
    BYTE cls = m_UbxFrame[UBX_CLASS_INDEX];
    BYTE id = m_UbxFrame[UBX_ID_INDEX];
    LONG lastStored = UbxState.m_nFrameIndex - 1;
    if (cls == UBX_CLASS_ACK && id == UBX_ID_ACK_ACK) {
        AcknowledgementStep();
        ResetFrame();
    } else if (cls == UBX_CLASS_ACK && id == UBX_ID_ACK_NAK) {
        if (UbxState.m_bAnaEnabled == 0) {
            CreateMarker(MARKER_ANA_FAILED);
            DebugLog(LOG_RED, L"NAK : UBLOX_ANA_failed");
        }
        ResetFrame();
    } else if (cls == UBX_CLASS_MON && id == UBX_ID_MON_VER && lastStored == UBX_MON_VER_ACT_INDEX &&
               m_UbxFrame[UBX_HW_GENERATION_INDEX] == '7') {
        VersionStep();
    }
}

// A 0x62 after an armed latch starts a frame. Once armed, the latch stays
// armed until the frame is cleared, so any later 0x62 starts one.
static void SyncStep(BYTE b) {
    if (m_UbxFrame[0] == UBX_SYNC_1 && b == UBX_SYNC_2) {
        memset(m_UbxFrame, 0, sizeof(m_UbxFrame));
        UbxState.m_nFrameIndex = UBX_CLASS_INDEX;
        UbxState.m_bFrameActive = 1;
        m_UbxFrame[1] = UBX_SYNC_2;
    }
}

// One received byte: the latch, the frame's bytes, their examination, then
// the frame start, which sees the latch as the examination left it.
static void ByteStep(BYTE b) {
    if (b == UBX_SYNC_1) {
        m_UbxFrame[0] = UBX_SYNC_1;  // arms the latch; never stored as a frame byte
    } else if (UbxState.m_bFrameActive && UbxState.m_nFrameIndex < UBX_FRAME_BYTES) {
        LONG at = UbxState.m_nFrameIndex;  // below the end: a full frame drops the byte
        m_UbxFrame[at] = b;
        UbxState.m_nFrameIndex = at + 1;
        if (at >= UBX_LENGTH_HIGH_INDEX) ExamineFrame();
    }
    SyncStep(b);
}

LRESULT CALLBACK UbxProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == UBLOXPARSINGMSG) {
        ByteStep((BYTE)(lParam & 0xFF));
    } else if (msg == WM_CLOSE) {
        SinkClosed(&UbxSink);
    }
    return SinkPassOn(&UbxSink, hwnd, msg, wParam, lParam);
}
