// Crash tests' cuts in the file layer (see FileStepDone in internal.h).
#include "internal.h"

#include <cstdlib>
#include <unistd.h>

namespace kp {

void FileStepDone() {
    static long limit = -1;  // read once; 0 for no cut
    static long steps = 0;
    if (limit < 0) {
        const char* v = getenv("KESTA_GPS_FILE_FAULT");
        limit = v && *v ? atol(v) : 0;
    }
    if (limit > 0 && ++steps == limit) _exit(86);
}

}  // namespace kp
