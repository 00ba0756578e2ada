// The IOControl library's NAND areas, as the service calls them on the
// device. The device team may replace this file with their library's own
// header; the service needs only these two declarations, with C linkage.
//   ReadNandArea(area): dumps the area into "\NandArea_ReadData.bin".
//   WriteNandArea(area): stores "\NandArea_WriteData.bin" into the area.
// Both are finished when they return.
#ifndef KESTA_NAND_AREA_H
#define KESTA_NAND_AREA_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

BOOL ReadNandArea(DWORD area);
BOOL WriteNandArea(DWORD area);

#ifdef __cplusplus
}
#endif

#endif
