// For tools/check-device.sh only: mingw-w64's <stdlib.h> without its
// renaming of strtod to mingw's own; the device's C run-time has strtod.
#pragma once
#include_next <stdlib.h>
#undef strtod
