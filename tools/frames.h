// Bytes on the receiver's line as the tools and tests write and check them,
// independently of the service's own code: spaced hex for logs, NMEA
// sentences and UBX frames with their checksums.
#pragma once

#include <cstdio>
#include <string>

// Bytes as spaced upper-case hex ("B5 62 0A 04").
inline std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// "$" body "*XX\r\n": the NMEA checksum is the XOR of every byte between
// '$' and '*'.
inline std::string NmeaSentence(const std::string& body) {
    unsigned c = 0;
    for (char ch : body) c ^= (unsigned char)ch;
    char tail[8];
    snprintf(tail, sizeof tail, "*%02X\r\n", c);
    return "$" + body + tail;
}

// The UBX checksum of bytes [from, to) of f: 8-bit Fletcher (CK_A += byte,
// CK_B += CK_A, modulo 256) over class, id, both length bytes and payload.
inline std::string UbxChecksum(const std::string& f, size_t from, size_t to) {
    unsigned char a = 0, b = 0;
    for (size_t i = from; i < to && i < f.size(); ++i) {
        a = (unsigned char)(a + (unsigned char)f[i]);
        b = (unsigned char)(b + a);
    }
    return std::string{(char)a, (char)b};
}

// B5 62 class id length(2, little-endian) payload CK_A CK_B.
inline std::string UbxFrame(int cls, int id, const std::string& payload) {
    std::string f = "\xB5\x62";
    f += (char)cls;
    f += (char)id;
    f += (char)(payload.size() & 0xFF);
    f += (char)(payload.size() >> 8);
    f += payload;
    return f + UbxChecksum(f, 2, f.size());
}
