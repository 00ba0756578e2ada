// How fast the main thread's per-byte path runs: the data-ready sink's
// assembler and decoder, one posted message per byte, and the UBX watcher,
// over the receiver captures. At 9600 baud the line brings 960 bytes a
// second; this says how much headroom the main thread has.
//
//   kesta-gps-bench [ROUNDS] FILE...
#include "app/messages.h"
#include "nmea/data_read_sink.h"
#include "nmea/nmea_record.h"
#include "serial/serial_port.h"
#include "ubx/ubx_sink.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 0;
    if (rounds <= 0 || argc < 3) {
        fprintf(stderr, "usage: kesta-gps-bench ROUNDS FILE...\n");
        return 2;
    }
    std::string data;
    for (int i = 2; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        data.append((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    char root[] = "/tmp/kesta-bench-XXXXXX";
    if (!mkdtemp(root)) return 1;
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
    const size_t batch = 4096;
    auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < rounds; ++r) {
        for (size_t at = 0; at < data.size(); at += batch) {
            size_t n = std::min(batch, data.size() - at);
            for (size_t i = 0; i < n; ++i) Push(&g_SerialPort.m_QueueRead, (BYTE)data[at + i]);
            DataReadProc(DataReadSink.m_hWnd, DATA_READ, 0, 0);
            MSG msg;
            while (PeekMessage(&msg, 0, 0, 0, PM_REMOVE)) DispatchMessage(&msg);
        }
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double bytes = (double)data.size() * rounds;
    printf("%.0f bytes in %.3f s: %.2f MB/s, %.0f ns per byte, %u RMC parsed; the line brings 960 bytes/s\n",
           bytes, seconds, bytes / seconds / 1e6, seconds / bytes * 1e9, NmeaDecoder.m_nRmcCount);
    std::string cleanup = std::string("rm -rf ") + root;
    return system(cleanup.c_str()) == 0 ? 0 : 1;
}
