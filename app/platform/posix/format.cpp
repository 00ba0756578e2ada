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

// The arguments, passed on by reference through the helpers below.
struct Args {
    va_list ap;
};

// One conversion: flags, width and precision, rebuilt in spec for snprintf
// (the length and the letter are added by each use), and its length.
struct Conversion {
    char spec[64];
    size_t specLen;
    bool left;
    int width, prec;  // -1 when absent
    int size;         // -1 h, 0 default, 1 l / w, 2 ll / I64
    bool wideMod, narrowMod;
    const char* WithSuffix(const char* suffix) {
        snprintf(spec + specLen, sizeof spec - specLen, "%s", suffix);
        return spec;
    }
};

// Reads a conversion from p, just past its '%', up to its letter; returns
// where the letter is.
const wchar_t* ParseConversion(const wchar_t* p, Args& a, Conversion* c) {
    enum { kMaxFlags = 7, kMaxWidth = 400 };  // wider would only be cut by the buffer anyway
    c->spec[0] = '%';
    c->specLen = 1;
    c->left = false;
    c->width = c->prec = -1;
    c->size = 0;
    c->wideMod = c->narrowMod = false;
    while (*p && wcschr(L"-+ #0", *p)) {
        if (*p == L'-') c->left = true;
        if (c->specLen <= kMaxFlags) c->spec[c->specLen++] = (char)*p;
        ++p;
    }
    if (*p == L'*') {
        c->width = va_arg(a.ap, int);
        if (c->width < 0) {
            c->left = true;
            c->width = -c->width;
            c->spec[c->specLen++] = '-';
        }
        ++p;
    } else if (*p >= L'0' && *p <= L'9') {
        c->width = 0;
        while (*p >= L'0' && *p <= L'9') c->width = c->width * 10 + (*p++ - L'0');
    }
    if (*p == L'.') {
        ++p;
        c->prec = 0;
        if (*p == L'*') {
            c->prec = va_arg(a.ap, int);
            ++p;
        } else {
            while (*p >= L'0' && *p <= L'9') c->prec = c->prec * 10 + (*p++ - L'0');
        }
    }
    for (;;) {
        if (*p == L'h') { c->size = -1; c->narrowMod = true; ++p; }
        else if (*p == L'l') { c->size = c->size == 1 ? 2 : 1; c->wideMod = true; ++p; }
        else if (*p == L'w') { c->wideMod = true; ++p; }
        else if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') { c->size = 2; p += 3; }
        else break;
    }
    if (c->width > kMaxWidth) c->width = kMaxWidth;
    if (c->prec > kMaxWidth) c->prec = kMaxWidth;
    if (c->width >= 0) c->specLen += (size_t)snprintf(c->spec + c->specLen, sizeof c->spec - c->specLen, "%d", c->width);
    if (c->prec >= 0) c->specLen += (size_t)snprintf(c->spec + c->specLen, sizeof c->spec - c->specLen, ".%d", c->prec);
    c->spec[c->specLen] = 0;
    return p;
}

// %s and %S: wide or 8-bit by the Microsoft rule, up to the precision.
void PutString(Out& o, wchar_t conv, const Conversion& c, Args& a) {
    bool wide = conv == L's' ? !c.narrowMod : c.wideMod;
    const wchar_t* ws = nullptr;
    const char* ns = nullptr;
    if (wide) {
        ws = va_arg(a.ap, const wchar_t*);
        if (!ws) ws = L"(null)";
    } else {
        ns = va_arg(a.ap, const char*);
        if (!ns) ns = "(null)";
    }
    size_t count = 0;
    while ((c.prec < 0 || count < (size_t)c.prec) && (wide ? ws[count] != 0 : ns[count] != 0)) ++count;
    int padding = c.width - (int)count;
    if (!c.left) Pad(o, padding, L' ');
    for (size_t i = 0; i < count; ++i) o.Put(wide ? ws[i] : (wchar_t)(unsigned char)ns[i]);
    if (c.left) Pad(o, padding, L' ');
}

// Writes one conversion whose letter is conv; false for a letter it does
// not know.
bool PutConversion(Out& o, wchar_t conv, Conversion& c, Args& a) {
    char buf[512];
    switch (conv) {
    case L'd': case L'i': {
        long long v = c.size == 2 ? va_arg(a.ap, long long) : c.size == 1 ? va_arg(a.ap, long) : va_arg(a.ap, int);
        if (c.size == -1) v = (short)v;
        snprintf(buf, sizeof buf, c.WithSuffix("lld"), v);
        o.PutNarrow(buf);
        return true;
    }
    case L'u': case L'x': case L'X': case L'o': {
        unsigned long long v = c.size == 2 ? va_arg(a.ap, unsigned long long)
                             : c.size == 1 ? va_arg(a.ap, unsigned long) : va_arg(a.ap, unsigned int);
        if (c.size == -1) v = (unsigned short)v;
        char suffix[4] = {'l', 'l', (char)conv, 0};
        snprintf(buf, sizeof buf, c.WithSuffix(suffix), v);
        o.PutNarrow(buf);
        return true;
    }
    case L'f': case L'e': case L'E': case L'g': case L'G': {
        double v = va_arg(a.ap, double);
        char suffix[2] = {(char)conv, 0};
        snprintf(buf, sizeof buf, c.WithSuffix(suffix), v);
        o.PutNarrow(buf);
        return true;
    }
    case L'p':
        snprintf(buf, sizeof buf, "%p", va_arg(a.ap, void*));
        o.PutNarrow(buf);
        return true;
    case L'c': case L'C': {
        wchar_t ch = (wchar_t)va_arg(a.ap, int);
        if ((conv == L'C' && !c.wideMod) || c.narrowMod) ch = (wchar_t)(unsigned char)ch;
        if (!c.left) Pad(o, c.width - 1, L' ');
        o.Put(ch);
        if (c.left) Pad(o, c.width - 1, L' ');
        return true;
    }
    case L's': case L'S':
        PutString(o, conv, c, a);
        return true;
    case L'%':
        o.Put(L'%');
        return true;
    default:
        return false;
    }
}

}  // namespace

HRESULT StringCchVPrintf(LPWSTR dest, size_t cchDest, LPCWSTR fmt, va_list args) {
    if (!dest || cchDest == 0) return STRSAFE_E_INSUFFICIENT_BUFFER;
    Out o = {dest, cchDest, 0, false};
    Args a;
    va_copy(a.ap, args);
    for (const wchar_t* p = fmt ? fmt : L""; *p; ++p) {
        if (*p != L'%') {
            o.Put(*p);
            continue;
        }
        const wchar_t* start = p;
        Conversion c;
        p = ParseConversion(p + 1, a, &c);
        if (!PutConversion(o, *p, c, a)) {
            // An unknown conversion is copied as it stands.
            for (const wchar_t* q = start; q <= p && *q; ++q) o.Put(*q);
            if (!*p) --p;
        }
    }
    va_end(a.ap);
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
