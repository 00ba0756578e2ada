// The registered window messages, numbered during static initialisation,
// before AppMain runs.
#ifndef KESTA_MESSAGES_H
#define KESTA_MESSAGES_H

#include "platform/platform.h"

// Reader thread to the data-ready sink, once per wake-up: drain the queue.
extern UINT DATA_READ;
// Data-ready sink to the UBX sink, one per received byte (lParam).
extern UINT UBLOXPARSINGMSG;
// Broadcast "KESTA_GPS": wParam speed in whole km/h, lParam 1 for a valid fix.
extern UINT KESTA_GPS_MSG;

#endif
