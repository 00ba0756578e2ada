// kesta-gps-replay: runs the service's own data-ready sink, sentence decoder,
// RMC parser, clock synchronisation and UBX sink over a capture file, with
// the simulated clock and a temporary platform root.
//
//   kesta-gps-replay [--batch N] [--keep-root] FILE
//
// Prints one JSON line per parsed RMC sentence (the record after the parse)
// and one per frame the service would write to the receiver. The service's
// debug lines go to stderr as usual. Batches of N bytes (default 4096) stand
// for the reader thread's drains: a sentence split between two batches is
// not decoded, as in the service.
#include "app/messages.h"
#include "hex.h"
#include "nmea/data_read_sink.h"
#include "nmea/nmea_record.h"
#include "serial/serial_port.h"
#include "ubx/ubx_sink.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string g_txPath;   // where the service's writes to the receiver land
size_t g_txSeen = 0;

void Pump() {
    MSG msg;
    while (PeekMessage(&msg, 0, 0, 0, PM_REMOVE))
        if (msg.message != WM_QUIT) DispatchMessage(&msg);
}

// Prints the frames written since the last call, one JSON line each; bytes
// that follow a frame in the same write (the poll's CR LF) stay with it.
void FlushFrames() {
    std::ifstream in(g_txPath, std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string fresh = all.substr(std::min(g_txSeen, all.size()));
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
    g_txSeen = all.size();
    fflush(stdout);
}

void PrintRmc(const NmeaRecord* r) {
    FlushFrames();  // a poll written during this sentence's sync comes first
    printf("{\"type\":\"rmc\",\"count\":%u,\"hour\":%u,\"minute\":%u,\"second\":%u,\"status\":\"%c\","
           "\"latitude\":%.9f,\"longitude\":%.9f,\"speed\":%.6f,\"course\":%.6f,"
           "\"day\":%u,\"month\":%u,\"year\":%u,\"magvar\":%.6f}\n",
           r->m_nRmcCount, r->m_nHour, r->m_nMinute, r->m_nSecond, r->m_cStatus >= 32 ? r->m_cStatus : '?',
           r->m_dLatitude, r->m_dLongitude, r->m_dSpeed, r->m_dCourse, r->m_nDay, r->m_nMonth, r->m_nYear,
           r->m_dMagVar);
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    size_t batch = 4096;
    bool keep = false;
    const char* file = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--batch") && i + 1 < argc) batch = (size_t)atol(argv[++i]);
        else if (!strcmp(argv[i], "--keep-root")) keep = true;
        else if (argv[i][0] != '-' && !file) file = argv[i];
        else {
            fprintf(stderr, "usage: kesta-gps-replay [--batch N] [--keep-root] FILE\n");
            return 2;
        }
    }
    if (!file || batch == 0) {
        fprintf(stderr, "usage: kesta-gps-replay [--batch N] [--keep-root] FILE\n");
        return 2;
    }
    // One batch must fit the receive queue, as one drain does.
    if (batch > BYTE_QUEUE_CAPACITY) batch = BYTE_QUEUE_CAPACITY;
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        fprintf(stderr, "kesta-gps-replay: cannot read %s\n", file);
        return 1;
    }
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    char root[] = "/tmp/kesta-replay-XXXXXX";
    if (!mkdtemp(root)) return 1;
    mkdir((std::string(root) + "/DataStorage").c_str(), 0755);
    setenv("KESTA_GPS_ROOT", root, 1);
    unsetenv("KESTA_GPS_CLOCK");  // never the machine's clock
    if (keep) fprintf(stderr, "kesta-gps-replay: platform root %s\n", root);

    // The frames the service writes go to a file in place of the port.
    HANDLE tx = CreateFile(L"\\replay-tx.bin", GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
    g_txPath = std::string(root) + "/replay-tx.bin";
    UbxState.m_hPort = tx;

    HWND main = CreateWindowEx(0, L"static", L"KESTA_GPS_REPLAY", 0, 0, 0, 0, 0, 0, 0, 0, 0);
    CreateUbxSink(&UbxSink, main, 0);
    CreateDataReadSink(&DataReadSink, main, 0);
    SetRmcObserver(PrintRmc);

    for (size_t at = 0; at < data.size(); at += batch) {
        size_t n = std::min(batch, data.size() - at);
        for (size_t i = 0; i < n; ++i) Push(&g_SerialPort.m_QueueRead, (BYTE)data[at + i]);
        PostMessage(DataReadSink.m_hWnd, DATA_READ, 0, 0);
        Pump();
        FlushFrames();
    }
    CloseHandle(tx);
    if (!keep) {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    return 0;
}
