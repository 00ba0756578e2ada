// Bytes as spaced upper-case hex ("B5 62 0A 04"), for the tools' logs.
#pragma once

#include <cstdio>
#include <string>

inline std::string Hex(const std::string& bytes) {
    std::string out;
    char b[4];
    for (unsigned char c : bytes) {
        snprintf(b, sizeof b, "%s%02X", out.empty() ? "" : " ", c);
        out += b;
    }
    return out;
}
