// kesta-gps-replay: runs the service's own data-ready sink, sentence decoder,
// RMC parser, clock synchronisation and UBX sink over a capture file, with
// the simulated clock and a temporary platform root.
//
// Prints one JSON line per parsed RMC sentence (the record after the parse)
// and one per frame the service would write to the receiver. The service's
// debug lines go to stderr as usual. The input is streamed in batches of N
// bytes (default 4096), or of random sizes from 1 to N with --seed, standing
// for the reader thread's drains; the output is the same for every split.
#include "app/messages.h"
#include "args.h"
#include "byte_path.h"
#include "frames.h"
#include "nmea/data_read_sink.h"
#include "nmea/nmea_record.h"
#include "serial/serial_port.h"
#include "ubx/ubx_sink.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

FILE* g_tx = nullptr;  // where the service's writes to the receiver land, read as they grow
size_t g_txSeen = 0;

// Prints the frames written since the last call, one JSON line each; bytes
// that follow a frame in the same write (the poll's CR LF) stay with it.
void FlushFrames() {
    std::string fresh;
    char buf[4096];
    size_t n;
    fseek(g_tx, (long)g_txSeen, SEEK_SET);
    while ((n = fread(buf, 1, sizeof buf, g_tx)) > 0) fresh.append(buf, n);
    clearerr(g_tx);
    if (fresh.empty()) return;
    size_t at = 0;
    while (at < fresh.size()) {
        size_t size = fresh.size() - at;
        if (size >= 8 && (unsigned char)fresh[at] == 0xB5 && fresh[at + 1] == 0x62) {
            size_t len = (unsigned char)fresh[at + 4] | ((unsigned char)fresh[at + 5] << 8);
            size = std::min(size, 8 + len);
            if (fresh.compare(at + size, 2, "\r\n") == 0) size += 2;
        }
        std::string frame = fresh.substr(at, size);
        printf("{\"type\":\"frame\",\"class\":%d,\"id\":%d,\"bytes\":%zu,\"hex\":\"%s\"}\n",
               frame.size() > 2 ? (unsigned char)frame[2] : -1, frame.size() > 3 ? (unsigned char)frame[3] : -1,
               frame.size(), Hex(frame).c_str());
        at += size;
    }
    g_txSeen += fresh.size();
}

void PrintRmc(const NmeaRecord* r) {
    FlushFrames();  // a poll written during this sentence's sync comes first
    printf("{\"type\":\"rmc\",\"count\":%u,\"hour\":%u,\"minute\":%u,\"second\":%u,\"status\":\"%c\","
           "\"latitude\":%.9f,\"longitude\":%.9f,\"speed\":%.6f,\"course\":%.6f,"
           "\"day\":%u,\"month\":%u,\"year\":%u,\"magvar\":%.6f}\n",
           r->m_nRmcCount, r->m_nHour, r->m_nMinute, r->m_nSecond, r->m_cStatus >= 32 ? r->m_cStatus : '?',
           r->m_dLatitude, r->m_dLongitude, r->m_dSpeed, r->m_dCourse, r->m_nDay, r->m_nMonth, r->m_nYear,
           r->m_dMagVar);
}


const char* kUsage =
    "usage: kesta-gps-replay [--batch N] [--seed S] [--keep-root] FILE\n"
    "Runs the service's decoding, clock and UBX steps over a capture; one JSON line per RMC\n"
    "sentence parsed and per frame the service would send.\n"
    "  --batch N     bytes per drain, 1-4191 (default 4096)\n"
    "  --seed S      drains of random sizes from 1 to N, from this seed (0-4294967295)\n"
    "  --keep-root   keep the temporary platform root and print its path\n";

}  // namespace

int main(int argc, char** argv) {
    ArgReader args("kesta-gps-replay", kUsage, argc, argv);
    size_t batch = 4096;
    bool keep = false, random = false;
    uint32_t seed = 0;
    const char* file = nullptr;
    while (args.Next()) {
        if (args.Is("--batch")) batch = (size_t)args.Long(1, BYTE_QUEUE_CAPACITY);
        else if (args.Is("--seed")) {
            seed = (uint32_t)args.Long(0, 4294967295LL);
            random = true;
        } else if (args.Is("--keep-root")) keep = true;
        else if (!args.IsOption() && !file) file = args.Arg();
        else args.Unknown();
    }
    if (!file) args.Fail("no capture FILE given");
    FILE* in = OpenInput("kesta-gps-replay", file);
    uint32_t state = seed * 2654435761u + 1;  // never 0, which xorshift keeps

    char root[] = "/tmp/kesta-replay-XXXXXX";
    if (!mkdtemp(root)) {
        fprintf(stderr, "kesta-gps-replay: cannot make a temporary folder: %s\n", strerror(errno));
        return 1;
    }
    mkdir((std::string(root) + "/DataStorage").c_str(), 0755);
    setenv("KESTA_GPS_ROOT", root, 1);
    unsetenv("KESTA_GPS_CLOCK");  // never the machine's clock
    if (keep) fprintf(stderr, "kesta-gps-replay: platform root %s\n", root);

    // The frames the service writes go to a file in place of the port.
    HANDLE tx = CreateFile(L"\\replay-tx.bin", GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
    g_tx = fopen((std::string(root) + "/replay-tx.bin").c_str(), "rb");
    if (tx == INVALID_HANDLE_VALUE || !g_tx) {
        fprintf(stderr, "kesta-gps-replay: cannot make the frame file in %s\n", root);
        return 1;
    }
    UbxState.m_hPort = tx;

    HWND main = CreateWindowEx(0, L"static", L"KESTA_GPS_REPLAY", 0, 0, 0, 0, 0, 0, 0, 0, 0);
    CreateUbxSink(&UbxSink, main, 0);
    CreateDataReadSink(&DataReadSink, main, 0);
    SetRmcObserver(PrintRmc);

    // Streamed: memory stays the same for any size of input.
    static char data[1 << 16];
    size_t have = 0, at = 0;
    int failed = 0;
    for (;;) {
        if (at == have) {
            have = fread(data, 1, sizeof data, in);
            at = 0;
            if (have == 0) {
                failed = ferror(in);
                break;
            }
        }
        size_t want = random ? 1 + NextSplit(&state) % batch : batch;
        size_t n = std::min(want, have - at);
        FeedDrain(data + at, (int)n);
        at += n;
    }
    // Frames are printed before each record and here: nothing else is
    // printed between, so the order is the same as after every drain.
    FlushFrames();
    fflush(stdout);
    if (failed) fprintf(stderr, "kesta-gps-replay: cannot read %s: %s\n", file, strerror(errno));
    fclose(in);
    fclose(g_tx);
    CloseHandle(tx);
    if (!keep) {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    return failed ? 1 : 0;
}
