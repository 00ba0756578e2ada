// Sets the system clock from a dated RMC sentence: once from the first one,
// once more from the first valid fix; at a valid fix it also makes sure that
// the NAND first-fix record exists. Main thread only.
#ifndef KESTA_SYNC_CLOCK_H
#define KESTA_SYNC_CLOCK_H

#include "../nmea/nmea_record.h"

enum { BACKUP_TIME_BYTES = 16 };

void SyncClock(NmeaRecord* record, char status);

// Finishes a replacement of "\DataStorage\BackupTime" that a power cut
// interrupted after the old file was deleted: the new bytes beside it are
// moved into place. 1 when it moved them. Called at start-up.
int RestoreBackupTime(void);

// The 16 bytes of a date-time record, little-endian, in field order.
void SystemTimeBytes(const SYSTEMTIME* st, BYTE out[BACKUP_TIME_BYTES]);

#endif
