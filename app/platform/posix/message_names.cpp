// Registered window messages.
#include "internal.h"

#include <map>

namespace {

const UINT kFirst = kp::kFirstRegisteredMessage, kLast = kp::kLastRegisteredMessage, kNumbers = kLast - kFirst + 1;
static_assert((kNumbers & (kNumbers - 1)) == 0, "the fold's 14 bits cover the range");

std::mutex g_m;
std::map<UINT, std::wstring>* g_names;  // never destroyed: threads may register while the process exits

// The message-number rule, the same in every process without their talking
// to each other: FNV-1a (32 bits) over the name's UTF-8 bytes, folded to 14
// bits (h ^ h >> 14 ^ h >> 28), added to the first registered number. Its
// test vectors: tests/data/message-numbers.txt.
UINT NumberOf(const std::string& utf8) {
    uint32_t h = 2166136261u;
    for (char c : utf8) {
        h ^= (unsigned char)c;
        h *= 16777619u;
    }
    return kFirst + ((h ^ (h >> 14) ^ (h >> 28)) & (kNumbers - 1));
}

}  // namespace

// Two names of one process that meet on one number are reported, and the
// later one moves on to the next free number.
UINT RegisterWindowMessage(LPCWSTR name) {
    if (!name || !*name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string utf8 = kp::ToUtf8(name);
    UINT msg = NumberOf(utf8);
    std::lock_guard<std::mutex> lock(g_m);
    if (!g_names) g_names = new std::map<UINT, std::wstring>;
    for (UINT tries = 0; tries < kNumbers; ++tries) {
        auto it = g_names->find(msg);
        if (it == g_names->end()) {
            (*g_names)[msg] = name;
            return msg;
        }
        if (it->second == name) return msg;
        kp::BackendLine("platform: message \"%s\" collides with \"%s\" at 0x%X\n", utf8.c_str(),
                        kp::ToUtf8(it->second.c_str()).c_str(), msg);
        msg = msg == kLast ? kFirst : msg + 1;
    }
    return 0;
}
