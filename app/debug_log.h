// The service's diagnostic lines: colour-tagged through DebugLog, or plain
// through NKDbgPrintfW. Callable from any thread.
#ifndef KESTA_DEBUG_LOG_H
#define KESTA_DEBUG_LOG_H

#include "platform/platform.h"

enum {
    LOG_RED = 31,    // failures and window-creation lines
    LOG_GREEN = 32,  // progress
    DEBUG_LOG_CHARS = 512  // formatting buffer, terminator included
};

// Writes "\33[<colour>m [KESTA_GPS] <text> \33[0m\r\n". A text longer than
// DEBUG_LOG_CHARS - 1 characters is cut there.
void DebugLog(int colour, LPCWSTR format, ...);

#endif
