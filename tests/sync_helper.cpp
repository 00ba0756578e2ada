// kesta-test-sync DDMMYY HHMMSS: one clock synchronisation of the service,
// from a dated RMC sentence with a valid fix, in the platform root of the
// environment; for the crash tests of the backup file.
// kesta-test-sync --start: what the service's start-up does to the backup.
#include "clock/sync_clock.h"
#include "nmea/nmea_record.h"
#include "ubx/ubx_sink.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--start") return RestoreBackupTime() ? 0 : 1;
    if (argc != 3) {
        fprintf(stderr, "usage: kesta-test-sync DDMMYY HHMMSS\n");
        return 2;
    }
    UbxState.m_bVersionChecked = 1;  // no receiver to poll
    std::string rmc = std::string(argv[2]) + ",A,4807.038,N,01131.000,E,022.4,084.4," + argv[1] + ",003.1,W";
    ParseRMC(rmc.c_str());
    return 0;
}
