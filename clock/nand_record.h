// The first-fix record in NAND area 4: the local date and time at which the
// clock was first set from GPS, written once in the device's life.
// Main thread only; each call blocks for 0.5 to 1 s.
#ifndef KESTA_NAND_RECORD_H
#define KESTA_NAND_RECORD_H

#include "../app/platform/platform.h"

enum {
    NAND_AREA = 4,
    NAND_WAIT_MS = 500,       // for IOControl to finish with its exchange file
    NAND_RECORD_BYTES = 12
};

// A4 21 D3 32 on the wire.
#define NAND_RECORD_MAGIC 0x32D321A4u

// Writes the record unless area 4 already holds one.
void CheckNandRecord(void);
// Writes the record with the current local time.
void WriteNandRecord(void);

// Record layout: magic (4, LE), year (2, LE), month, day, hour, minute, E4, 54.
void BuildNandRecord(const SYSTEMTIME* local, BYTE out[NAND_RECORD_BYTES]);

#endif
