// libFuzzer harness of the reader thread's drain, against a port driven by a
// script: each input is a sequence of steps, each either bytes arriving on the
// line (written into a real pseudo-terminal, up to a few kilobytes at once),
// a drain of the reader, or the main thread taking some bytes out of the
// queue. The bytes on the line count up (mod 256), so what comes out of the
// queue must count up too, unless the line could have overflowed the queue
// (a drain then drops whole chunks); the queue never holds more than its
// capacity, nor more than the line brought.
#include "serial/byte_queue.h"
#include "serial/gps_thread.h"
#include "serial/serial_port.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

int g_master = -1, g_slave = -1;

void Check(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string root = "/tmp/kesta-fuzz-drain-" + std::to_string(getpid());
    mkdir(root.c_str(), 0700);
    setenv("KESTA_GPS_ROOT", root.c_str(), 1);
    g_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    Check(g_master >= 0 && grantpt(g_master) == 0 && unlockpt(g_master) == 0, "a pseudo-terminal");
    const char* slave = ptsname(g_master);
    // Kept open here too, for the line's settings.
    g_slave = open(slave, O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t;
    tcgetattr(g_slave, &t);
    cfmakeraw(&t);
    tcsetattr(g_slave, TCSANOW, &t);
    setenv("KESTA_GPS_COM1", slave, 1);
    HANDLE h = CreateFile(L"COM1:", GENERIC_READ | GENERIC_WRITE, 0, 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, 0);
    Check(h != INVALID_HANDLE_VALUE, "the port opens");
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 0};
    SetCommTimeouts(h, &timeouts);
    g_SerialPort.m_OverlappedRead.hEvent = CreateEvent(0, TRUE, FALSE, 0);
    PlatformStoreHandle(&g_SerialPort.m_hPort, h);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static BYTE buffer[SERIAL_READ_CHUNK];
    static BYTE next = 0;  // the next byte the line brings, counting on across inputs
    // What the line still holds from the last input is read away; a byte
    // still in flight may come later, and is in sequence all the same.
    for (int pass = 0; pass < 2; ++pass) {
        while (read(g_slave, buffer, sizeof buffer) > 0) {
        }
        usleep(50);
    }
    Clear(&g_SerialPort.m_QueueRead);
    const long kInFlight = 4096;  // at most what the last input left in flight
    long written = 0, popped = 0;
    BYTE expected = 0;
    bool first = true, mayDrop = false;
    for (size_t at = 0; at < size; ++at) {
        BYTE step = data[at];
        if ((step & 3) <= 1) {
            // Bytes arrive: 1 to 4096 of them.
            int n = 1 + (step >> 2) * 65;
            BYTE line[4096];
            for (int i = 0; i < n; ++i) line[i] = (BYTE)(next + i);
            ssize_t put = write(g_master, line, (size_t)n);
            if (put > 0) {
                next = (BYTE)(next + put);
                written += put;
            }
        } else if ((step & 3) == 2) {
            // A chunk may be dropped only when what the line may bring could
            // overflow the queue.
            if (written + kInFlight - popped >= BYTE_QUEUE_SLOTS - 1) mayDrop = true;
            DrainPort(&g_SerialPort, buffer);
        } else {
            BYTE out[BYTE_QUEUE_SLOTS];
            int took = PopSome(&g_SerialPort.m_QueueRead, out, 1 + (step >> 2) * 70);
            for (int i = 0; i < took; ++i) {
                Check(out[i] == expected || first || mayDrop, "bytes come out in the order they arrived, none twice");
                first = false;
                expected = (BYTE)(out[i] + 1);
            }
            popped += took;
        }
        int count = Count(&g_SerialPort.m_QueueRead);
        Check(count >= 0 && count <= BYTE_QUEUE_CAPACITY, "the queue holds at most its capacity");
        Check(popped + count <= written + kInFlight, "no byte comes out that did not arrive");
    }
    return 0;
}
