// Wide formatting with the Microsoft conventions ("%s" wide, "%S" 8-bit,
// "%c" wide, "%C" 8-bit), which glibc's wide printf reverses.
#include "internal.h"

#include <cstdio>
#include <cwchar>

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
