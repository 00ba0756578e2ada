// The debug print and the backend's own lines on standard error.
#include "internal.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

// ---- The debug output ----
//
// The target's debug print never blocks and nobody depends on a line being
// written, so neither may this one: a stderr on a pipe nobody reads must not
// stop the reader thread or the main thread. A line goes straight out when
// nothing is queued and the output has room for it; otherwise it waits in a
// fixed buffer that a writer thread of its own empties, blocking alone. When
// the buffer is full, lines are dropped and counted, and the count is said
// once the output takes lines again. Each line is written whole, in order.

namespace {

enum { kLogBuffer = 64 * 1024 };

struct DebugOutput {
    std::mutex m;
    std::condition_variable cv;
    char ring[kLogBuffer];
    size_t head = 0, count = 0;  // queued bytes
    bool writing = false;        // the writer holds bytes taken from the ring
    bool started = false;
    unsigned long dropped = 0;
};

DebugOutput& Log() {
    alignas(DebugOutput) static char storage[sizeof(DebugOutput)];
    static DebugOutput* d = new (storage) DebugOutput;  // never destroyed
    return *d;
}

bool WriteAll(const char* p, size_t n) { return kp::WriteAll(2, p, n); }

// True when a write of n bytes cannot block: the output says it has room,
// and a pipe takes up to PIPE_BUF bytes at once when it says so.
bool HasRoom(size_t n) {
    if (n > PIPE_BUF) return false;
    pollfd p = {2, POLLOUT, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLOUT);
}

void* Writer(void*) {
    DebugOutput& d = Log();
    static char chunk[8192];
    for (;;) {
        size_t n;
        {
            std::unique_lock<std::mutex> lock(d.m);
            d.cv.wait(lock, [&] { return d.count > 0; });
            n = d.count < sizeof chunk ? d.count : sizeof chunk;
            for (size_t i = 0; i < n; ++i) chunk[i] = d.ring[(d.head + i) % kLogBuffer];
            d.head = (d.head + n) % kLogBuffer;
            d.count -= n;
            d.writing = true;
        }
        WriteAll(chunk, n);  // may block: only this thread waits
        unsigned long dropped;
        {
            std::lock_guard<std::mutex> lock(d.m);
            d.writing = false;
            dropped = d.count == 0 ? d.dropped : 0;
            if (dropped) d.dropped = 0;
        }
        if (dropped) {
            char line[96];
            int len = snprintf(line, sizeof line, "platform: %lu debug lines dropped while the output was blocked\n",
                               dropped);
            WriteAll(line, (size_t)len);
        }
    }
}

void Emit(const char* text, size_t n) {
#ifdef KESTA_PLATFORM_FAST
    // The fuzzing build formats every line but writes none.
    (void)text;
    (void)n;
    return;
#endif
    DebugOutput& d = Log();
    std::lock_guard<std::mutex> lock(d.m);
    if (d.count == 0 && !d.writing && !d.dropped && HasRoom(n)) {
        WriteAll(text, n);
        return;
    }
    if (n > kLogBuffer - d.count) {
        ++d.dropped;
        return;
    }
    for (size_t i = 0; i < n; ++i) d.ring[(d.head + d.count + i) % kLogBuffer] = text[i];
    d.count += n;
    if (!d.started) {
        // pthread rather than std::thread: its stack is mapped, not taken
        // from the heap.
        pthread_t writer;
        if (pthread_create(&writer, nullptr, Writer, nullptr) == 0) {
            pthread_detach(writer);
            d.started = true;
        }
    }
    d.cv.notify_one();
}

}  // namespace

void kp::BackendLine(const char* format, ...) {
    char line[1024];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    if (n < 0) return;
    Emit(line, (size_t)n < sizeof line ? (size_t)n : sizeof line - 1);
}

void NKDbgPrintfW(LPCWSTR format, ...) {
    wchar_t line[4096];
    va_list ap;
    va_start(ap, format);
    StringCchVPrintf(line, sizeof line / sizeof line[0], format, ap);
    va_end(ap);
    char out[sizeof line / sizeof line[0] * 4];
    Emit(out, kp::ToUtf8(line, out, sizeof out));
}
