// The four UBX commands written to the receiver. Main thread only.
#ifndef KESTA_UBX_COMMANDS_H
#define KESTA_UBX_COMMANDS_H

#include "ubx_sink.h"

enum {
    UBX_CHECKSUM_BYTES = 2,
    UBX_FRAME_OVERHEAD = 8,        // sync 2, class, id, length 2, checksum 2
    POLL_VERSION_BYTES = 10,       // the poll and CR LF
    SET_ANA_ENABLE_BYTES = 48,
    SET_30CM_BYTES = 44,
    SET_HEADING_BYTES = 12
};

// Each writes its frame through state->m_hPort in one write; nothing is
// written or logged while that is 0. The three settings log "Send : <name>"
// after a successful write.
void PollVersion(UbxStateRecord* state);
void SetANAEnable(UbxStateRecord* state);
void Set30Cm(UbxStateRecord* state);
void SetHeading(UbxStateRecord* state);

// The frame checksum: 8-bit Fletcher over class, id, both length bytes and
// the payload (`count` bytes from `from`, the class): CK_A += byte, CK_B +=
// CK_A, both modulo 256.
void UbxChecksum(const BYTE* from, int count, BYTE* ckA, BYTE* ckB);

// Frames `length` payload bytes as B5 62 cls id len payload CK_A CK_B into
// `out`; returns the frame's size.
int BuildUbxFrame(BYTE cls, BYTE id, const BYTE* payload, WORD length, BYTE* out);

#endif
