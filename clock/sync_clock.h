// Sets the system clock from a dated RMC sentence: once from the first one,
// once more from the first valid fix. Main thread only.
#ifndef KESTA_SYNC_CLOCK_H
#define KESTA_SYNC_CLOCK_H

#include "../nmea/nmea_record.h"

enum { BACKUP_TIME_BYTES = 16 };

void SyncClock(NmeaRecord* record, char status);

// The 16 bytes of a date-time record, little-endian, in field order.
void SystemTimeBytes(const SYSTEMTIME* st, BYTE out[BACKUP_TIME_BYTES]);

#endif
