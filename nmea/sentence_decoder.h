// The NMEA 0183 sentence decoder: a character-driven state machine whose
// state lives in NmeaDecoder, so a sentence may arrive in several pieces.
// Main thread only.
#ifndef KESTA_SENTENCE_DECODER_H
#define KESTA_SENTENCE_DECODER_H

#include "../app/platform/platform.h"

enum DecodeState {
    DECODE_IDLE = 0,            // waiting for the '$' that starts a sentence
    DECODE_ADDRESS = 1,         // address characters, ended by ',' or '*'
    DECODE_DATA = 2,            // data characters, ended by '*' or CR
    DECODE_CHECKSUM_HIGH = 3,   // first checksum digit
    DECODE_CHECKSUM_LOW = 4     // second checksum digit
};

// Feeds the first `length` bytes of `buffer`, skipping zero bytes.
void Decode(const BYTE* buffer, DWORD length);
// Advances the state machine by one character.
void DecodeChar(BYTE c);
// Hands a complete sentence on: "GPRMC" goes to ParseRMC, others are ignored.
void DispatchSentence(const char* address, const char* data);
// Drops any sentence in progress.
void ResetDecoder(void);

#endif
