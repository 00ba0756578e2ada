// Wide formatting with the Microsoft conventions ("%s" wide, "%S" 8-bit,
// "%c" wide, "%C" 8-bit), which glibc's wide printf reverses, and the debug
// output: UTF-8 lines on stderr, each written with one call so that lines of
// two threads never mix within a line.
#include "internal.h"

#include <cstdio>
#include <cwchar>
#include <cerrno>
#include <climits>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace {

struct Out {
    LPWSTR dest;
    size_t cap;  // characters, terminator included
    size_t len;
    bool cut;
    void Put(wchar_t c) {
        if (len + 1 < cap) dest[len++] = c;
        else cut = true;
    }
    void PutNarrow(const char* s) {
        while (*s) Put((unsigned char)*s++);
    }
};

void Pad(Out& o, int n, wchar_t c) {
    for (; n > 0; --n) o.Put(c);
}

}  // namespace

HRESULT StringCchVPrintf(LPWSTR dest, size_t cchDest, LPCWSTR fmt, va_list args) {
    if (!dest || cchDest == 0) return STRSAFE_E_INSUFFICIENT_BUFFER;
    Out o = {dest, cchDest, 0, false};
    va_list ap;
    va_copy(ap, args);
    for (const wchar_t* p = fmt ? fmt : L""; *p; ++p) {
        if (*p != L'%') {
            o.Put(*p);
            continue;
        }
        const wchar_t* start = p++;
        // The conversion rebuilt for snprintf: '%', flags, width, precision,
        // then the length and conversion letters added below.
        char spec[64] = "%";
        size_t specLen = 1;
        bool left = false;
        while (*p && wcschr(L"-+ #0", *p)) {
            if (*p == L'-') left = true;
            if (specLen < 8) spec[specLen++] = (char)*p;
            ++p;
        }
        int width = -1, prec = -1;
        if (*p == L'*') {
            width = va_arg(ap, int);
            if (width < 0) { left = true; width = -width; spec[specLen++] = '-'; }
            ++p;
        } else if (*p >= L'0' && *p <= L'9') {
            width = 0;
            while (*p >= L'0' && *p <= L'9') width = width * 10 + (*p++ - L'0');
        }
        if (*p == L'.') {
            ++p;
            prec = 0;
            if (*p == L'*') { prec = va_arg(ap, int); ++p; }
            else while (*p >= L'0' && *p <= L'9') prec = prec * 10 + (*p++ - L'0');
        }
        int size = 0;  // -1 h, 0 default, 1 l / w, 2 ll / I64
        bool wideMod = false, narrowMod = false;
        for (;;) {
            if (*p == L'h') { size = -1; narrowMod = true; ++p; }
            else if (*p == L'l') { size = size == 1 ? 2 : 1; wideMod = true; ++p; }
            else if (*p == L'w') { wideMod = true; ++p; }
            else if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') { size = 2; p += 3; }
            else break;
        }
        // Widths beyond the buffer would only be cut anyway.
        if (width > 400) width = 400;
        if (prec > 400) prec = 400;
        if (width >= 0) specLen += (size_t)snprintf(spec + specLen, sizeof spec - specLen, "%d", width);
        if (prec >= 0) specLen += (size_t)snprintf(spec + specLen, sizeof spec - specLen, ".%d", prec);
        spec[specLen] = 0;
        auto withSuffix = [&](const char* suffix) {
            snprintf(spec + specLen, sizeof spec - specLen, "%s", suffix);
            return (const char*)spec;
        };
        wchar_t conv = *p;
        char buf[512];
        switch (conv) {
        case L'd': case L'i': {
            long long v = size == 2 ? va_arg(ap, long long) : size == 1 ? va_arg(ap, long) : va_arg(ap, int);
            if (size == -1) v = (short)v;
            snprintf(buf, sizeof buf, withSuffix("lld"), v);
            o.PutNarrow(buf);
            break;
        }
        case L'u': case L'x': case L'X': case L'o': {
            unsigned long long v = size == 2 ? va_arg(ap, unsigned long long)
                                 : size == 1 ? va_arg(ap, unsigned long) : va_arg(ap, unsigned int);
            if (size == -1) v = (unsigned short)v;
            char suffix[4] = {'l', 'l', (char)conv, 0};
            snprintf(buf, sizeof buf, withSuffix(suffix), v);
            o.PutNarrow(buf);
            break;
        }
        case L'f': case L'e': case L'E': case L'g': case L'G': {
            double v = va_arg(ap, double);
            char suffix[2] = {(char)conv, 0};
            snprintf(buf, sizeof buf, withSuffix(suffix), v);
            o.PutNarrow(buf);
            break;
        }
        case L'p':
            snprintf(buf, sizeof buf, "%p", va_arg(ap, void*));
            o.PutNarrow(buf);
            break;
        case L'c': case L'C': {
            wchar_t c = (wchar_t)va_arg(ap, int);
            if ((conv == L'C' && !wideMod) || narrowMod) c = (wchar_t)(unsigned char)c;
            if (!left) Pad(o, width - 1, L' ');
            o.Put(c);
            if (left) Pad(o, width - 1, L' ');
            break;
        }
        case L's': case L'S': {
            bool wide = conv == L's' ? !narrowMod : wideMod;
            const wchar_t* ws = nullptr;
            const char* ns = nullptr;
            if (wide) {
                ws = va_arg(ap, const wchar_t*);
                if (!ws) ws = L"(null)";
            } else {
                ns = va_arg(ap, const char*);
                if (!ns) ns = "(null)";
            }
            // Characters taken: up to the terminator or the precision.
            size_t count = 0;
            while ((prec < 0 || count < (size_t)prec) && (wide ? ws[count] != 0 : ns[count] != 0)) ++count;
            int padding = width - (int)count;
            if (!left) Pad(o, padding, L' ');
            for (size_t i = 0; i < count; ++i) o.Put(wide ? ws[i] : (wchar_t)(unsigned char)ns[i]);
            if (left) Pad(o, padding, L' ');
            break;
        }
        case L'%':
            o.Put(L'%');
            break;
        default:  // unknown conversion: copy it as it stands
            for (const wchar_t* q = start; q <= p && *q; ++q) o.Put(*q);
            if (!*p) --p;
            break;
        }
    }
    va_end(ap);
    dest[o.len] = 0;
    return o.cut ? STRSAFE_E_INSUFFICIENT_BUFFER : S_OK;
}

HRESULT StringCchPrintf(LPWSTR dest, size_t cchDest, LPCWSTR format, ...) {
    va_list ap;
    va_start(ap, format);
    HRESULT r = StringCchVPrintf(dest, cchDest, format, ap);
    va_end(ap);
    return r;
}

HRESULT StringCchCopy(LPWSTR dest, size_t cchDest, LPCWSTR src) {
    if (!dest || cchDest == 0) return STRSAFE_E_INSUFFICIENT_BUFFER;
    size_t i = 0;
    for (; src && src[i] && i + 1 < cchDest; ++i) dest[i] = src[i];
    dest[i] = 0;
    return (src && src[i]) ? STRSAFE_E_INSUFFICIENT_BUFFER : S_OK;
}

int MultiByteToWideChar(UINT, DWORD, LPCSTR src, int srcLen, LPWSTR dest, int destLen) {
    if (!src) return 0;
    // The system code page here is Latin-1: each byte is one character.
    int n = srcLen < 0 ? (int)strlen(src) + 1 : srcLen;
    if (destLen == 0) return n;
    if (!dest || destLen < n) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (int i = 0; i < n; ++i) dest[i] = (wchar_t)(unsigned char)src[i];
    return n;
}

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

bool WriteAll(const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(2, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= (size_t)w;
    }
    return true;
}

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
