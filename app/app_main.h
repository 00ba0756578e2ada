// Start-up: the single-instance guard, the main window, the message loop.
#ifndef KESTA_APP_MAIN_H
#define KESTA_APP_MAIN_H

#include "platform/platform.h"

enum { NAME_CHARS = 100, MAIN_ICON_ID = 101 };

// 1 on success, 0 on failure.
int InitMainWindow(HINSTANCE instance, int showCommand);
// The registered class's atom, 0 on failure.
ATOM RegisterMainClass(HINSTANCE instance, LPCWSTR className);

#endif
