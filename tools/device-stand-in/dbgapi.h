// For tools/check-device.sh only: the declaration Compact 7's dbgapi.h
// gives the kernel's debug print. A device build uses the SDK's header.
#pragma once
#include <windows.h>
#ifdef __cplusplus
extern "C" {
#endif
void WINAPIV NKDbgPrintfW(LPCWSTR lpszFmt, ...);
#ifdef __cplusplus
}
#endif
