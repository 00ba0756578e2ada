// Text conversion between the platform's wide texts and UTF-8.
#include "internal.h"

namespace kp {

size_t ToUtf8(const WCHAR* text, char* out, size_t cap, size_t maxChars) {
    size_t len = 0;
    if (cap == 0) return 0;
    for (size_t i = 0; text && i < maxChars && text[i]; ++i) {
        uint32_t c = (uint32_t)text[i];
        if (c < 0x80) {  // most of the platform's texts: a byte each
            if (len + 1 >= cap) break;
            out[len++] = (char)c;
            continue;
        }
        char b[4];
        size_t k = 0;
        if (c < 0x800) {
            b[k++] = (char)(0xC0 | (c >> 6));
            b[k++] = (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            b[k++] = (char)(0xE0 | (c >> 12));
            b[k++] = (char)(0x80 | ((c >> 6) & 0x3F));
            b[k++] = (char)(0x80 | (c & 0x3F));
        } else if (c < 0x110000) {
            b[k++] = (char)(0xF0 | (c >> 18));
            b[k++] = (char)(0x80 | ((c >> 12) & 0x3F));
            b[k++] = (char)(0x80 | ((c >> 6) & 0x3F));
            b[k++] = (char)(0x80 | (c & 0x3F));
        } else {
            b[k++] = '?';
        }
        if (len + k >= cap) break;  // a character is never cut in half
        memcpy(out + len, b, k);
        len += k;
    }
    out[len] = 0;
    return len;
}

std::string ToUtf8(const WCHAR* text) {
    std::string out;
    for (size_t i = 0; text && text[i]; ++i) {
        char b[8];
        WCHAR one[2] = {text[i], 0};
        out.append(b, ToUtf8(one, b, sizeof b));
    }
    return out;
}

std::wstring FromUtf8(const std::string& s) {
    std::wstring out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = (unsigned char)s[i];
        uint32_t cp = c;
        int extra = 0;
        if (c >= 0xF0) { cp = c & 0x07; extra = 3; }
        else if (c >= 0xE0) { cp = c & 0x0F; extra = 2; }
        else if (c >= 0xC0) { cp = c & 0x1F; extra = 1; }
        ++i;
        for (int k = 0; k < extra && i < s.size(); ++k, ++i) cp = (cp << 6) | ((unsigned char)s[i] & 0x3F);
        out += (wchar_t)cp;
    }
    return out;
}

}  // namespace kp

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
