// libFuzzer harness of the main thread's byte path: arbitrary receiver bytes,
// split into arbitrary drains, through the data-ready sink's line assembler,
// the sentence decoder, the RMC parser with its clock synchronisation, and,
// one posted message per byte, the UBX watcher. The first input byte seeds
// the split, and its top bit says whether the clock was set already. Built against the fast platform (no pauses, no disk flushes, no
// debug output), with a platform root on tmpfs.
#include "app/messages.h"
#include "nmea/data_read_sink.h"
#include "nmea/nmea_record.h"
#include "nmea/sentence_decoder.h"
#include "serial/serial_port.h"
#include "tools/byte_path.h"
#include "ubx/ubx_sink.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

NmeaRecord g_freshRecord;
HWND g_main = 0;

void Check(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string root = "/dev/shm/kesta-fuzz-" + std::to_string(getpid());
    if (access("/dev/shm", W_OK) != 0) root = "/tmp/kesta-fuzz-" + std::to_string(getpid());
    mkdir(root.c_str(), 0700);
    mkdir((root + "/DataStorage").c_str(), 0700);
    setenv("KESTA_GPS_ROOT", root.c_str(), 1);
    unsetenv("KESTA_GPS_CLOCK");  // never the machine's clock
    g_freshRecord = NmeaDecoder;
    g_main = CreateWindowEx(0, L"static", L"KESTA_GPS_FUZZ", 0, 0, 0, 0, 0, 0, 0, 0, 0);
    CreateUbxSink(&UbxSink, g_main, 0);
    CreateDataReadSink(&DataReadSink, g_main, 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // Every input starts from the state of a fresh process: no port (the
    // commands write nothing), receiver unknown, clock never set.
    NmeaDecoder = g_freshRecord;
    UbxState = UbxStateRecord{0, 0, 0, 0, 0, UBX_CLASS_INDEX, 0};
    memset(m_UbxFrame, 0, sizeof m_UbxFrame);
    if (!SinkWindow(&UbxSink)) CreateUbxSink(&UbxSink, g_main, 0);  // it closes itself after configuration
    // Half the inputs start as a service that has set its clock already,
    // as it runs most of its life: the clock synchronisation with its file
    // writes is then skipped, and decoding gets the time.
    if (data[0] & 0x80) NmeaDecoder.m_bTimeSet = NmeaDecoder.m_bFixTimeSet = 1;
    uint32_t split = data[0] * 2654435761u + 1;
    ++data;
    --size;
    size_t at = 0;
    while (at < size) {
        size_t n = 1 + NextSplit(&split) % 300;
        if (n > size - at) n = size - at;
        Check(FeedDrain(data + at, (int)n), "queue took the chunk");
        at += n;
        Check(Count(&g_SerialPort.m_QueueRead) == 0, "a drain takes every byte counted");
        Check(UbxState.m_nFrameIndex >= UBX_CLASS_INDEX && UbxState.m_nFrameIndex <= UBX_FRAME_BYTES,
              "UBX frame index within its buffer");
        Check(NmeaDecoder.m_nDecodeState >= DECODE_IDLE && NmeaDecoder.m_nDecodeState <= DECODE_CHECKSUM_LOW,
              "decoder in one of its states");
        // The index may reach a buffer's end only as the sentence is
        // abandoned; a buffer is read only once it is terminated.
        LONG state = NmeaDecoder.m_nDecodeState;
        if (state == DECODE_ADDRESS) Check(NmeaDecoder.m_nIndex < NMEA_ADDRESS_BYTES, "address index in its buffer");
        if (state == DECODE_DATA) Check(NmeaDecoder.m_nIndex < NMEA_DATA_BYTES, "data index in its buffer");
        Check(NmeaDecoder.m_nIndex <= NMEA_DATA_BYTES, "decoder index within its buffer");
        if (state == DECODE_DATA || state == DECODE_CHECKSUM_HIGH || state == DECODE_CHECKSUM_LOW)
            Check(memchr(NmeaDecoder.m_szAddress, 0, sizeof NmeaDecoder.m_szAddress) != nullptr,
                  "the address of the sentence under way is terminated");
    }
    // A line feed ends whatever line the input left open, so the next input
    // starts outside a line.
    FeedDrain("\n", 1);
    return 0;
}
