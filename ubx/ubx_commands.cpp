#include "ubx_commands.h"

#include "../app/debug_log.h"

enum {
    UBX_CLASS_CFG = 0x06,
    UBX_ID_CFG_NMEA = 0x17,
    UBX_ID_CFG_NAVX5 = 0x23,
    UBX_ID_CFG_NAV5 = 0x24,
    CFG_NAVX5_PAYLOAD_BYTES = 40,
    CFG_NAV5_PAYLOAD_BYTES = 36,
    CFG_NMEA_PAYLOAD_BYTES = 4
};

void UbxChecksum(const BYTE* from, int count, BYTE* ckA, BYTE* ckB) {
    BYTE a = 0, b = 0;
    for (int i = 0; i < count; ++i) {
        a = (BYTE)(a + from[i]);
        b = (BYTE)(b + a);
    }
    *ckA = a;
    *ckB = b;
}

int BuildUbxFrame(BYTE cls, BYTE id, const BYTE* payload, WORD length, BYTE* out) {
    out[0] = UBX_SYNC_1;
    out[1] = UBX_SYNC_2;
    out[2] = cls;
    out[3] = id;
    out[4] = (BYTE)(length & 0xFF);
    out[5] = (BYTE)(length >> 8);
    if (length) memcpy(out + 6, payload, length);
    UbxChecksum(out + 2, 4 + length, &out[6 + length], &out[7 + length]);
    return UBX_FRAME_OVERHEAD + length;
}

// One synchronous write of the whole frame; 1 when the port took it.
static int WriteFrame(UbxStateRecord* state, const BYTE* frame, DWORD size) {
    DWORD written = 0;
    return WriteFile(state->m_hPort, frame, size, &written, 0) == TRUE;
}

// MON-VER poll: B5 62 0A 04 00 00 0E 34, then CR LF.
void PollVersion(UbxStateRecord* state) {
    BYTE frame[POLL_VERSION_BYTES];
    int n = BuildUbxFrame(UBX_CLASS_MON, UBX_ID_MON_VER, 0, 0, frame);
    frame[n++] = '\r';
    frame[n++] = '\n';
    if (state->m_hPort == 0) return;
    WriteFrame(state, frame, (DWORD)n);
}

// CFG-NAVX5, AssistNow Autonomous on. Payload (offset: value):
//   0: version 0          2: mask1 0xFFFF (apply every group)
//   4: 0x3F (reserved)    8: 3, 9: 2 (reserved)
//  10: min SVs 3         11: max SVs 16          12: min C/N0 7 dBHz
//  13: 0                 14: initial fix need not be 3D
//  15: 1, 16: 0, 17: 0   18: GPS week rollover 1691
//  20: 0 (32-bit)        24: 1, 25: 1            26: PPP off
//  27: AssistNow Autonomous on                    28: 0, 29: 100
//  30: max orbit error 120 m                      32-39: 0
void SetANAEnable(UbxStateRecord* state) {
    static const BYTE payload[CFG_NAVX5_PAYLOAD_BYTES] = {
        0x00, 0x00, 0xFF, 0xFF, 0x3F, 0x00, 0x00, 0x00, 0x03, 0x02,
        0x03, 0x10, 0x07, 0x00, 0x00, 0x01, 0x00, 0x00, 0x9B, 0x06,
        0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x01, 0x00, 0x64,
        0x78, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    BYTE frame[SET_ANA_ENABLE_BYTES];
    int n = BuildUbxFrame(UBX_CLASS_CFG, UBX_ID_CFG_NAVX5, payload, CFG_NAVX5_PAYLOAD_BYTES, frame);
    if (state->m_hPort == 0) return;
    if (WriteFrame(state, frame, (DWORD)n)) DebugLog(LOG_GREEN, L"Send : SetANAEnable");
}

// CFG-NAV5, static hold at 30 cm/s. Payload (offset: value):
//   0: mask 0xFFFF        2: model portable      3: fix mode auto 2D/3D
//   4: fixed alt 0        8: fixed alt var 10000 (1 m^2)
//  12: min elev 5 deg    13: DR limit 0 s
//  14: PDOP 25.0         16: TDOP 25.0           18: pos acc 100 m
//  20: time acc 300 m    22: static hold 30 cm/s 23: DGPS time-out 60 s
//  24: 0, 25: 0          26-35: reserved 0
void Set30Cm(UbxStateRecord* state) {
    static const BYTE payload[CFG_NAV5_PAYLOAD_BYTES] = {
        0xFF, 0xFF, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x10, 0x27,
        0x00, 0x00, 0x05, 0x00, 0xFA, 0x00, 0xFA, 0x00, 0x64, 0x00,
        0x2C, 0x01, 0x1E, 0x3C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    BYTE frame[SET_30CM_BYTES];
    int n = BuildUbxFrame(UBX_CLASS_CFG, UBX_ID_CFG_NAV5, payload, CFG_NAV5_PAYLOAD_BYTES, frame);
    if (state->m_hPort == 0) return;
    if (WriteFrame(state, frame, (DWORD)n)) DebugLog(LOG_GREEN, L"Send : Set30Cm");
}

// CFG-NMEA. Payload: filter 0x20 (course output not filtered), NMEA version
// 2.3, unlimited satellites, flags 0x02 (considering mode).
void SetHeading(UbxStateRecord* state) {
    static const BYTE payload[CFG_NMEA_PAYLOAD_BYTES] = {0x20, 0x23, 0x00, 0x02};
    BYTE frame[SET_HEADING_BYTES];
    int n = BuildUbxFrame(UBX_CLASS_CFG, UBX_ID_CFG_NMEA, payload, CFG_NMEA_PAYLOAD_BYTES, frame);
    if (state->m_hPort == 0) return;
    if (WriteFrame(state, frame, (DWORD)n)) DebugLog(LOG_GREEN, L"Send : SetHeading");
}
