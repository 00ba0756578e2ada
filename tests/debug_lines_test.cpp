// Every debug line of the service at its widest arguments fits the device's
// debug print: each NKDbgPrintfW call holds at most DEBUG_PRINT_CHARS
// characters (Compact's takes 128 with the terminator). The program is
// linked with --wrap, so every call of the print, the service's included,
// comes to Recorded below instead of the platform's.
#include "app/debug_log.h"
#include "app/message_sink.h"
#include "serial/serial_port.h"
#include "ubx/ubx_sink.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {
std::vector<std::wstring> g_calls;
}

// The platform's NKDbgPrintfW, by its C++ name.
extern "C" void __wrap__Z12NKDbgPrintfWPKwz(LPCWSTR format, ...) {
    WCHAR line[4096];
    va_list args;
    va_start(args, format);
    StringCchVPrintf(line, 4096, format, args);
    va_end(args);
    g_calls.push_back(line);
}

namespace {

struct Line {
    const wchar_t* format;  // as the service spells it
    void (*write)();        // writes it at its widest arguments
};

const std::string kSoftware(UBX_SW_VERSION_BYTES, 'S');
const std::string kHardware(UBX_HW_VERSION_BYTES, 'H');
const std::wstring kWindowText(SINK_TEXT_CHARS - 1, L'W');
const std::wstring kPortName(SERIAL_PORT_NAME_CHARS - 1, L'P');
const int kWord = 65535, kByte = 255;

// The arguments' types bound them: flags are 32-bit, years and the
// platform's date-time fields 16-bit, the record's fields and the NAND
// record's bytes 8-bit, the NAND magic 32-bit signed.
const Line kLines[] = {
    {L"m_QueueRead FULL", [] { DebugLog(LOG_RED, L"m_QueueRead FULL"); }},
    {L"WindowText(%s) \r\n", [] { DebugLog(LOG_RED, L"WindowText(%s) \r\n", kWindowText.c_str()); }},
    {L"Handle is NULL..!!!!!!!!!! \r\n", [] { DebugLog(LOG_RED, L"Handle is NULL..!!!!!!!!!! \r\n"); }},
    {L"RMC Date Field [ %c ] [%d]-[%d] -- [%d.%d.%d] %d:%d:%d",
     [] { DebugLog(LOG_GREEN, L"RMC Date Field [ %c ] [%d]-[%d] -- [%d.%d.%d] %d:%d:%d", (int)'V', INT_MIN,
                   INT_MIN, kWord, kByte, kByte, kByte, kByte, kByte); }},
    {L"Local Time -- [%d.%d.%d] %d:%d:%d",
     [] { DebugLog(LOG_GREEN, L"Local Time -- [%d.%d.%d] %d:%d:%d", kWord, kWord, kWord, kWord, kWord, kWord); }},
    {L"GPS S/W Ver.%S", [] { DebugLog(LOG_GREEN, L"GPS S/W Ver.%S", kSoftware.c_str()); }},
    {L"GPS H/W Ver.%S", [] { DebugLog(LOG_GREEN, L"GPS H/W Ver.%S", kHardware.c_str()); }},
    {L"ACK : UBLOX_ANA_enabled", [] { DebugLog(LOG_GREEN, L"ACK : UBLOX_ANA_enabled"); }},
    {L"ACK : UBLOX_30Cm_enabled", [] { DebugLog(LOG_GREEN, L"ACK : UBLOX_30Cm_enabled"); }},
    {L"ACK : UBLOX_Heading_enabled", [] { DebugLog(LOG_GREEN, L"ACK : UBLOX_Heading_enabled"); }},
    {L"NAK : UBLOX_ANA_failed", [] { DebugLog(LOG_RED, L"NAK : UBLOX_ANA_failed"); }},
    {L"Send : SetANAEnable", [] { DebugLog(LOG_GREEN, L"Send : SetANAEnable"); }},
    {L"Send : Set30Cm", [] { DebugLog(LOG_GREEN, L"Send : Set30Cm"); }},
    {L"Send : SetHeading", [] { DebugLog(LOG_GREEN, L"Send : SetHeading"); }},
    {L"m_sPortName --- > %s \r\n", [] { NKDbgPrintfW(L"m_sPortName --- > %s \r\n", kPortName.c_str()); }},
    {L"m_sPortName --- > %s Failed !!\r\n",
     [] { NKDbgPrintfW(L"m_sPortName --- > %s Failed !!\r\n", kPortName.c_str()); }},
    {L"GPSThread START !! \r\n", [] { NKDbgPrintfW(L"GPSThread START !! \r\n"); }},
    {L"- Write  : %4.4d-%2.2d-%2.2d %2.2d:%2.2d:%d\r\n",
     [] { NKDbgPrintfW(L"- Write  : %4.4d-%2.2d-%2.2d %2.2d:%2.2d:%d\r\n", kWord, kWord, kWord, kWord, kWord, INT_MIN); }},
    {L"- Read  : %4.4d-%2.2d-%2.2d %2.2d:%2.2d:%d\r\n",
     [] { NKDbgPrintfW(L"- Read  : %4.4d-%2.2d-%2.2d %2.2d:%2.2d:%d\r\n", kWord, kByte, kByte, kByte, kByte, INT_MIN); }},
};

// A C string literal's text, its escapes (\r \n \\ \" \33) resolved.
std::wstring Unescape(const std::string& s) {
    std::wstring out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) { out += (wchar_t)(unsigned char)s[i]; continue; }
        char c = s[++i];
        if (c == 'r') out += L'\r';
        else if (c == 'n') out += L'\n';
        else if (c >= '0' && c <= '7') {
            int v = 0;
            for (int k = 0; k < 3 && i < s.size() && s[i] >= '0' && s[i] <= '7'; ++k, ++i) v = v * 8 + (s[i] - '0');
            --i;
            out += (wchar_t)v;
        } else out += (wchar_t)(unsigned char)c;
    }
    return out;
}

// Every format the service's sources give DebugLog or the debug print.
std::set<std::wstring> FormatsInTheSources() {
    // The service's folders; debug_log.cpp's own prints are DebugLog's frame.
    std::vector<std::string> files;
    for (const char* folder : {"app", "serial", "nmea", "clock", "ubx"})
        for (const auto& e : std::filesystem::directory_iterator(std::string(KESTA_SOURCE_DIR) + "/" + folder))
            if (e.path().extension() == ".cpp" && e.path().filename() != "debug_log.cpp") files.push_back(e.path());
    EXPECT_GE(files.size(), 14u);
    std::set<std::wstring> formats;
    for (const std::string& f : files) {
        std::ifstream in(f);
        EXPECT_TRUE(in) << f;
        std::stringstream text;
        text << in.rdbuf();
        std::string s = text.str();
        // The first wide literal after each "DebugLog(" or "NKDbgPrintfW(".
        for (const char* callee : {"DebugLog(", "NKDbgPrintfW("}) {
            for (size_t at = s.find(callee); at != std::string::npos; at = s.find(callee, at + 1)) {
                size_t open = s.find("L\"", at);
                if (open == std::string::npos) break;
                size_t end = open + 2;
                while (end < s.size() && s[end] != '"') end += s[end] == '\\' ? 2 : 1;
                formats.insert(Unescape(s.substr(open + 2, end - open - 2)));
            }
        }
    }
    return formats;
}

std::string Printable(const std::wstring& w) {
    std::string out;
    for (wchar_t c : w) {
        if (c == 27) out += "\\33";
        else if (c == L'\r') out += "\\r";
        else if (c == L'\n') out += "\\n";
        else out += (char)c;
    }
    return out;
}

}  // namespace

TEST(DebugLines, TheTableHoldsEveryLineOfTheService) {
    std::set<std::wstring> table;
    for (const Line& l : kLines) table.insert(l.format);
    std::set<std::wstring> sources = FormatsInTheSources();
    for (const std::wstring& f : sources) EXPECT_TRUE(table.count(f)) << "not in the table: " << Printable(f);
    for (const std::wstring& f : table) EXPECT_TRUE(sources.count(f)) << "not in the sources: " << Printable(f);
}

TEST(DebugLines, EveryCallAtTheWidestArgumentsFitsTheDevicesPrint) {
    size_t longest = 0;
    std::wstring widest, widestCall;
    for (const Line& l : kLines) {
        g_calls.clear();
        l.write();
        ASSERT_FALSE(g_calls.empty()) << Printable(l.format);
        std::wstring line;
        for (const std::wstring& c : g_calls) {
            EXPECT_LE(c.size(), (size_t)DEBUG_PRINT_CHARS) << Printable(l.format) << ": " << Printable(c);
            line += c;
            if (c.size() > widestCall.size()) widestCall = c;
        }
        if (line.size() > longest) longest = line.size(), widest = line;
    }
    std::cout << "longest line: " << longest << " characters: " << Printable(widest) << "\n"
              << "longest print: " << widestCall.size() << " characters: " << Printable(widestCall) << "\n";
}

TEST(DebugLines, ALineLongerThanOnePrintJoinsIntoTheSameBytes) {
    struct { int length; size_t calls; } rows[] = {
        {DEBUG_PRINT_CHARS - DEBUG_FRAME_CHARS, 1},       // just fits one print
        {DEBUG_PRINT_CHARS - DEBUG_FRAME_CHARS + 1, 3},   // frame, one piece, reset
        {DEBUG_PRINT_CHARS, 3},
        {DEBUG_PRINT_CHARS + 1, 4},
        {DEBUG_LOG_CHARS - 1, 2 + (DEBUG_LOG_CHARS - 1 + DEBUG_PRINT_CHARS - 1) / DEBUG_PRINT_CHARS},
    };
    for (auto& r : rows) {
        g_calls.clear();
        std::wstring text(r.length, L'x');
        DebugLog(LOG_GREEN, L"%s", text.c_str());
        std::wstring joined;
        for (const std::wstring& c : g_calls) {
            EXPECT_LE(c.size(), (size_t)DEBUG_PRINT_CHARS) << r.length;
            joined += c;
        }
        EXPECT_EQ(g_calls.size(), r.calls) << r.length;
        EXPECT_EQ(joined, L"\33[32m [KESTA_GPS] " + text + L" \33[0m\r\n") << r.length;
    }
}
