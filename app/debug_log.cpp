#include "debug_log.h"

void DebugLog(int colour, LPCWSTR format, ...) {
    WCHAR text[DEBUG_LOG_CHARS];
    memset(text, 0, sizeof(text));
    va_list args;
    va_start(args, format);
    // At most DEBUG_LOG_CHARS - 1 characters; the terminator always fits.
    StringCchVPrintf(text, DEBUG_LOG_CHARS, format, args);
    va_end(args);
    NKDbgPrintfW(L"\33[%dm [KESTA_GPS] %s \33[0m\r\n", colour, text);
}
