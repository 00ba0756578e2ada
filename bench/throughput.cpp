// How fast the main thread's per-byte path runs: the data-ready sink's
// assembler and decoder, one posted message per byte, and the UBX watcher,
// over the receiver captures. At 9600 baud the line brings 960 bytes a
// second; this says how much headroom the main thread has.
//
//   kesta-gps-bench [ROUNDS] FILE...
#include "app/messages.h"
#include "../tools/args.h"
#include "nmea/data_read_sink.h"
#include "nmea/nmea_record.h"
#include "serial/serial_port.h"
#include "tools/byte_path.h"
#include "ubx/ubx_sink.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

static const char kUsage[] =
    "usage: kesta-gps-bench ROUNDS FILE...\n"
    "Feeds the files ROUNDS times (1-1000000) through the main thread's per-byte path and prints\n"
    "the time per byte.\n";

// The input is read as the reader thread reads the line: a piece at a time
// into a fixed buffer, each piece handed on in reader-sized chunks. Nothing
// the size of the input is held, so the figures are the per-byte path's.
static char s_piece[65536];

// Feeds one file through the path from its start; the number of bytes fed,
// or -1 (with errno) when it cannot be read.
static double FeedFile(FILE* f) {
    rewind(f);
    const size_t batch = SERIAL_READ_CHUNK;  // what the reader reads at once
    double fed = 0;
    size_t got;
    while ((got = fread(s_piece, 1, sizeof s_piece, f)) > 0) {
        for (size_t at = 0; at < got; at += batch) {
            size_t n = std::min(batch, got - at);
            FeedDrain(s_piece + at, (int)n);
        }
        fed += (double)got;
    }
    return ferror(f) ? -1 : fed;
}

int main(int argc, char** argv) {
    ArgReader args("kesta-gps-bench", kUsage, argc, argv);
    long rounds = 0;
    std::vector<std::string> names;
    std::vector<FILE*> files;  // opened now, so that a bad name fails before anything runs
    while (args.Next()) {
        if (args.IsOption()) args.Unknown();
        if (rounds == 0) {
            char* end = nullptr;
            rounds = strtol(args.Arg(), &end, 10);
            if (*end || rounds < 1 || rounds > 1000000)
                args.Fail(std::string("ROUNDS: '") + args.Arg() + "' is not a number from 1 to 1000000");
        } else {
            names.push_back(args.Arg());
            files.push_back(OpenInput("kesta-gps-bench", args.Arg()));
        }
    }
    if (rounds == 0) args.Fail("no ROUNDS given");
    static const char kNoInput[] = "no input: give one or more non-empty FILEs";
    if (files.empty()) args.Fail(kNoInput);
    char root[] = "/tmp/kesta-bench-XXXXXX";
    if (!mkdtemp(root)) {
        fprintf(stderr, "kesta-gps-bench: cannot make a temporary root: %s\n", strerror(errno));
        return 1;
    }
    // The service's debug lines are not the benchmark's output: only the
    // figures are printed.
    int err = dup(2);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, 2);
        close(null);
    }
    setenv("KESTA_GPS_ROOT", root, 1);
    // The clock is taken as set: the benchmark measures decoding, not the
    // one-off synchronisation with its NAND waits.
    NmeaDecoder.m_bTimeSet = NmeaDecoder.m_bFixTimeSet = 1;
    // Configured already, so the UBX sink stays open and sees every byte.
    UbxState.m_bVersionChecked = 1;
    UbxState.m_bAnaEnabled = UbxState.m_b30CmEnabled = UbxState.m_bHeadingEnabled = 1;
    HWND main = CreateWindowEx(0, L"static", L"KESTA_GPS_BENCH", 0, 0, 0, 0, 0, 0, 0, 0, 0);
    CreateUbxSink(&UbxSink, main, 0);
    CreateDataReadSink(&DataReadSink, main, 0);
    double bytes = 0;
    const char* unreadable = nullptr;
    auto start = std::chrono::steady_clock::now();
    for (long r = 0; r < rounds && !unreadable; ++r)
        for (size_t i = 0; i < files.size() && !unreadable; ++i) {
            double fed = FeedFile(files[i]);
            if (fed < 0) unreadable = names[i].c_str();
            else bytes += fed;
        }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    int why = errno;
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    if (err >= 0) dup2(err, 2);  // errors are the benchmark's own again
    if (unreadable) {
        fprintf(stderr, "kesta-gps-bench: cannot read %s: %s\n", unreadable, strerror(why));
        return 1;
    }
    if (bytes == 0) args.Fail(kNoInput);
    printf("%.0f bytes in %.3f s: %.2f MB/s, %.0f ns per byte, %u RMC parsed; the line brings 960 bytes/s\n",
           bytes, seconds, bytes / seconds / 1e6, seconds / bytes * 1e9, NmeaDecoder.m_nRmcCount);
    return 0;
}
