#include "debug_log.h"

void DebugLog(int colour, LPCWSTR format, ...) {
    WCHAR text[DEBUG_LOG_CHARS];
    memset(text, 0, sizeof(text));
    va_list args;
    va_start(args, format);
    // At most DEBUG_LOG_CHARS - 1 characters; the terminator always fits.
    StringCchVPrintf(text, DEBUG_LOG_CHARS, format, args);
    va_end(args);
    size_t length = 0;
    while (text[length]) ++length;
    // The frame's size holds for the service's two-digit colours.
    if (colour >= 10 && colour <= 99 && length <= DEBUG_PRINT_CHARS - DEBUG_FRAME_CHARS) {
        NKDbgPrintfW(L"\33[%dm [KESTA_GPS] %s \33[0m\r\n", colour, text);
        return;
    }
    // The device's debug print takes at most DEBUG_PRINT_CHARS characters a
    // call: a longer line goes out in pieces that join into the same bytes.
    NKDbgPrintfW(L"\33[%dm [KESTA_GPS] ", colour);
    const size_t most = DEBUG_PRINT_CHARS;
    WCHAR piece[DEBUG_PRINT_CHARS + 1];
    for (size_t at = 0; at < length; at += most) {
        size_t n = length - at < most ? length - at : most;
        memcpy(piece, text + at, n * sizeof(WCHAR));
        piece[n] = 0;
        NKDbgPrintfW(L"%s", piece);
    }
    NKDbgPrintfW(L" \33[0m\r\n");
}
