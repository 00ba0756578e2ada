#include "messages.h"

UINT DATA_READ = RegisterWindowMessage(L"DATA_READ");
UINT UBLOXPARSINGMSG = RegisterWindowMessage(L"UBLOXPARSINGMSG");
UINT KESTA_GPS_MSG = RegisterWindowMessage(L"KESTA_GPS");
