#include "ubx_sink.h"

#include "../app/debug_log.h"
#include "../app/messages.h"
#include "ubx_commands.h"

UbxStateRecord UbxState = {0, 0, 0, 0, 0, UBX_FRAME_START_INDEX, 0};
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
    UbxState.m_nFrameIndex = UBX_FRAME_START_INDEX;
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

// Looks at the frame once its header is in; acknowledgements act on their
// sixth byte, a version report once its index 44 has arrived.
// Once a frame has its header: rare next to the bytes that pass through.
PLATFORM_NOINLINE static void ExamineFrame(void) {
    BYTE cls = m_UbxFrame[2];
    BYTE id = m_UbxFrame[3];
    if (cls == UBX_CLASS_ACK && id == UBX_ID_ACK_ACK) {
        AcknowledgementStep();
        ResetFrame();
    } else if (cls == UBX_CLASS_ACK && id == UBX_ID_ACK_NAK) {
        if (UbxState.m_bAnaEnabled == 0) {
            CreateMarker(MARKER_ANA_FAILED);
            DebugLog(LOG_RED, L"NAK : UBLOX_ANA_failed");
        }
        ResetFrame();
    } else if (cls == UBX_CLASS_MON && id == UBX_ID_MON_VER &&
               UbxState.m_nFrameIndex == UBX_MON_VER_EXAMINE_INDEX &&
               m_UbxFrame[UBX_HW_GENERATION_INDEX] == '7') {
        VersionStep();
    }
}

// Stores a frame byte; true when the frame now has something to examine:
// only two indices can act, an acknowledgement once its header is in and a
// version report at its index 44 (class and id never change within a frame).
static inline int StoreByte(BYTE b) {
    if (b == UBX_SYNC_1) {
        // Arms the latch; never stored as a frame byte.
        m_UbxFrame[0] = UBX_SYNC_1;
        return 0;
    }
    if (!UbxState.m_bFrameActive || UbxState.m_nFrameIndex >= UBX_FRAME_BYTES) return 0;
    LONG index = ++UbxState.m_nFrameIndex;
    m_UbxFrame[index - 1] = b;
    return index == UBX_HEADER_BYTES || index == UBX_MON_VER_EXAMINE_INDEX;
}

// Once armed, the latch stays armed until the frame is cleared, so any later
// 0x62 starts a frame.
static inline void SyncStep(BYTE b) {
    if (m_UbxFrame[0] == UBX_SYNC_1 && b == UBX_SYNC_2) {
        memset(m_UbxFrame, 0, sizeof(m_UbxFrame));
        UbxState.m_nFrameIndex = UBX_FRAME_START_INDEX;
        UbxState.m_bFrameActive = 1;
        m_UbxFrame[1] = UBX_SYNC_2;
    }
}

void UbxByteStep(BYTE b) {
    if (StoreByte(b)) ExamineFrame();
    SyncStep(b);
}

// The rest of a byte's step once its frame has something to examine. Out of
// line, so that UbxProc's path for the other bytes calls nothing it must
// come back from.
PLATFORM_NOINLINE static LRESULT ExamineThenPassOn(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    ExamineFrame();
    SyncStep((BYTE)(lParam & 0xFF));
    return SinkPassOn(&UbxSink, hwnd, msg, wParam, lParam);
}

LRESULT CALLBACK UbxProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == UBLOXPARSINGMSG) {
        // UbxByteStep, with the examination out of line.
        BYTE b = (BYTE)(lParam & 0xFF);
        if (StoreByte(b)) return ExamineThenPassOn(hwnd, msg, wParam, lParam);
        SyncStep(b);
    } else if (msg == WM_CLOSE) {
        SinkClosed(&UbxSink);
    }
    return SinkPassOn(&UbxSink, hwnd, msg, wParam, lParam);
}
