// The service's diagnostic lines: colour-tagged through DebugLog, or plain
// through NKDbgPrintfW. Callable from any thread.
#ifndef KESTA_DEBUG_LOG_H
#define KESTA_DEBUG_LOG_H

#include "platform/platform.h"

enum {
    LOG_RED = 31,    // failures and window-creation lines
    LOG_GREEN = 32,  // progress
    DEBUG_LOG_CHARS = 512,  // formatting buffer, terminator included
    // The most one call of the device's debug print takes (128 with the
    // terminator), and what DebugLog's frame adds to a text: the colour
    // sequence with a two-digit colour, the tag and spaces, the reset, CR LF.
    DEBUG_PRINT_CHARS = 127,
    DEBUG_FRAME_CHARS = 25
};

// Writes "\33[<colour>m [KESTA_GPS] <text> \33[0m\r\n". A text longer than
// DEBUG_LOG_CHARS - 1 characters is cut there. A line longer than
// DEBUG_PRINT_CHARS is written in several prints of at most that many.
void DebugLog(int colour, LPCWSTR format, ...);

#endif
