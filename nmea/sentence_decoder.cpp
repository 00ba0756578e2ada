#include "sentence_decoder.h"

#include "nmea_record.h"

#include <string.h>

enum { CHECKSUM_INVALID = -1 };

// One hexadecimal digit of either case; CHECKSUM_INVALID for anything else.
static int HexValue(BYTE c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return CHECKSUM_INVALID;
}

void ResetDecoder(void) {
    NmeaDecoder.m_nDecodeState = DECODE_IDLE;
}

void Decode(const BYTE* buffer, DWORD length) {
    if (!buffer) return;
    for (DWORD i = 0; i < length; ++i)
        if (buffer[i] != 0) DecodeChar(buffer[i]);
}

void DecodeChar(BYTE c) {
    NmeaRecord* r = &NmeaDecoder;
    switch (r->m_nDecodeState) {
    case DECODE_IDLE:
        if (c == '$') {
            r->m_nChecksum = 0;
            r->m_nIndex = 0;
            r->m_nDecodeState = DECODE_ADDRESS;
        }
        break;
    case DECODE_ADDRESS:
        // The checksum is the XOR of every character between '$' and '*',
        // both excluded: the address, its ',' and the data part.
        if (c == ',' || c == '*') {
            r->m_szAddress[r->m_nIndex] = 0;
            r->m_nIndex = 0;
            r->m_nChecksum ^= c;
            r->m_nDecodeState = DECODE_DATA;
        } else {
            r->m_szAddress[r->m_nIndex++] = (char)c;
            r->m_nChecksum ^= c;
            if (r->m_nIndex >= NMEA_ADDRESS_BYTES) r->m_nDecodeState = DECODE_IDLE;
        }
        break;
    case DECODE_DATA:
        if (c == '*') {
            r->m_szData[r->m_nIndex] = 0;
            r->m_nDecodeState = DECODE_CHECKSUM_HIGH;
        } else if (c == '\r') {
            // A sentence without a checksum field ends here, unchecked.
            r->m_szData[r->m_nIndex] = 0;
            r->m_nDecodeState = DECODE_IDLE;
            DispatchSentence(r->m_szAddress, r->m_szData);
        } else {
            r->m_nChecksum ^= c;
            r->m_szData[r->m_nIndex++] = (char)c;
            if (r->m_nIndex >= NMEA_DATA_BYTES) r->m_nDecodeState = DECODE_IDLE;
        }
        break;
    case DECODE_CHECKSUM_HIGH: {
        int v = HexValue(c);
        if (v == CHECKSUM_INVALID) {
            r->m_nDecodeState = DECODE_IDLE;
            break;
        }
        r->m_nRecvChecksum = (BYTE)(v << 4);
        r->m_nDecodeState = DECODE_CHECKSUM_LOW;
        break;
    }
    case DECODE_CHECKSUM_LOW: {
        int v = HexValue(c);
        r->m_nDecodeState = DECODE_IDLE;
        if (v == CHECKSUM_INVALID) break;
        r->m_nRecvChecksum = (BYTE)(r->m_nRecvChecksum | v);
        if (r->m_nRecvChecksum == r->m_nChecksum) DispatchSentence(r->m_szAddress, r->m_szData);
        break;
    }
    default:
        r->m_nDecodeState = DECODE_IDLE;
        break;
    }
}

void DispatchSentence(const char* address, const char* data) {
    if (strcmp(address, "GPRMC") == 0) ParseRMC(data);
}
