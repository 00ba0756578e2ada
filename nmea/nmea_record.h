// The latest-fix record and the RMC field parser.
//
// Thread rules: the main thread writes every field. The reader thread reads
// the status and speed only, through GetFixSnapshot.
#ifndef KESTA_NMEA_RECORD_H
#define KESTA_NMEA_RECORD_H

#include "../app/platform/platform.h"

enum {
    NMEA_ADDRESS_BYTES = 8,  // up to 7 characters and the terminator
    NMEA_DATA_BYTES = 256,   // up to 255 characters and the terminator
    RMC_FIELD_BYTES = 25,    // fields of up to 24 characters
    RMC_YEAR_BASE = 2000
};

struct NmeaRecord {
    BYTE m_nHour;        // UTC, from the last time field
    BYTE m_nMinute;
    BYTE m_nSecond;      // whole seconds
    char m_cStatus;      // 'A' valid, 'V' void (also for an empty field)
    double m_dLatitude;  // degrees, north positive
    double m_dLongitude; // degrees, east positive
    double m_dSpeed;     // knots; 0.0 when the field is empty
    double m_dCourse;    // degrees; 0.0 when the field is empty
    BYTE m_nDay;
    BYTE m_nMonth;
    WORD m_nYear;        // two-digit year + 2000
    double m_dMagVar;    // degrees, west negative; 0.0 when empty
    DWORD m_nRmcCount;   // RMC data parts parsed; wraps
    LONG m_nDecodeState; // sentence decoder state
    BYTE m_nChecksum;
    BYTE m_nRecvChecksum;
    WORD m_nIndex;
    char m_szAddress[NMEA_ADDRESS_BYTES];
    char m_szData[NMEA_DATA_BYTES];
    LONG m_bFixTimeSet;  // clock set from a sentence with status 'A'
    LONG m_bTimeSet;     // clock set from any sentence
    SYSTEMTIME m_stTime; // clock synchronisation's scratch
};

// The one record; all zero at start but the status, 'V'.
extern NmeaRecord NmeaDecoder;

// Copies field `index` (0-based, comma-separated) of `text` into `out`, at
// most size - 1 characters. 1 when the field has at least one character.
int ExtractField(const char* text, int index, char* out, int size);

// Fills the record from the data part of a "GPRMC" sentence and calls
// SyncClock when the sentence carries a date.
//   $GPRMC,081836,A,3751.65,S,14507.36,E,000.0,360.0,130998,011.3,E*62
//   time, status, lat, N/S, lon, E/W, knots, course, ddmmyy, magvar, E/W
void ParseRMC(const char* data);

// Called with the record at the end of every ParseRMC, for tools that
// follow the decoder (the replay tool); 0 for none. Main thread only.
typedef void (*RmcObserver)(const NmeaRecord* record);
void SetRmcObserver(RmcObserver observer);

// The status and speed as one consistent pair. Any thread.
void GetFixSnapshot(char* status, double* speed);

#endif
