// NMEA processing: the RMC field parser, the sentence decoder, the line
// assembler of the data-ready sink, and the replay of real captures.
#include "app/messages.h"
#include "nmea/data_read_sink.h"
#include "nmea/nmea_record.h"
#include "nmea/sentence_decoder.h"
#include "serial/serial_port.h"
#include "support.h"
#include "tools/byte_path.h"
#include "ubx/ubx_sink.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <random>
#include <sstream>

using namespace test;

namespace {

void Feed(const std::string& s) { Decode((const BYTE*)s.data(), (DWORD)s.size()); }

// ---- ExtractField ----

TEST(ExtractField, FieldsPresentAbsentAndCut) {
    struct { const char* legend; const char* text; int index; int size; int result; const char* out; } rows[] = {
        {"empty first field", ",A,B", 0, 25, 0, ""},
        {"second", ",A,B", 1, 25, 1, "A"},
        {"third", ",A,B", 2, 25, 1, "B"},
        {"past the end", ",A,B", 3, 25, 0, ""},
        {"text ends after the comma", "A,", 1, 25, 0, ""},
        {"empty text", "", 0, 25, 0, ""},
        {"empty text, later index", "", 4, 25, 0, ""},
        {"size 1 on a present field", "ABC", 0, 1, 1, ""},
        {"cut to size - 1", "ABCDEF", 0, 4, 1, "ABC"},
        {"star ends a field", "12*34,5", 0, 25, 1, "12"},
        {"star is not a stop for the search", "1*2,3", 1, 25, 1, "3"},
        {"field starting with a star", "1,*2", 1, 25, 0, ""},
        {"bytes above 0x7F are field text", "\xC9\xB5,B", 0, 25, 1, "\xC9\xB5"},
    };
    for (auto& r : rows) {
        char out[32] = "junk";
        EXPECT_EQ(ExtractField(r.text, r.index, out, r.size), r.result) << r.legend;
        EXPECT_STREQ(out, r.out) << r.legend;
    }
    char untouched[4] = "abc";
    EXPECT_EQ(ExtractField(nullptr, 0, untouched, 4), 0);
    EXPECT_EQ(ExtractField("A", 0, untouched, 0), 0);
    EXPECT_EQ(ExtractField("A", 0, untouched, -1), 0);
    EXPECT_STREQ(untouched, "abc");
}

// ---- ParseRMC (no date field, so the clock stays out of it) ----

TEST(ParseRMC, FillsTheRecordFromAFullDataPart) {
    TempRoot root;
    ParseRMC("101530.00,A,3745.1234,N,12225.5678,W,12.5,270.0,,,,A");
    const NmeaRecord& r = NmeaDecoder;
    EXPECT_EQ(r.m_nHour, 10);
    EXPECT_EQ(r.m_nMinute, 15);
    EXPECT_EQ(r.m_nSecond, 30);
    EXPECT_EQ(r.m_cStatus, 'A');
    EXPECT_DOUBLE_EQ(r.m_dLatitude, 37.75205666666667);
    EXPECT_DOUBLE_EQ(r.m_dLongitude, -122.42613);
    EXPECT_EQ(r.m_dSpeed, 12.5);
    EXPECT_EQ(r.m_dCourse, 270.0);
    EXPECT_EQ(r.m_dMagVar, 0.0);
    EXPECT_EQ(r.m_nRmcCount, 1u);
    // The arithmetic is minutes times the double nearest 1/60, plus degrees.
    EXPECT_EQ(r.m_dLatitude, 45.1234 * (1.0 / 60.0) + 37.0);
}

TEST(ParseRMC, AbsentFieldsKeepOrResetAsTheirKindSays) {
    TempRoot root;
    ParseRMC("081836,A,4807.038,N,01131.000,E,22.4,084.4,,003.1,W");
    EXPECT_DOUBLE_EQ(NmeaDecoder.m_dLatitude, 48.1173);
    EXPECT_DOUBLE_EQ(NmeaDecoder.m_dLongitude, 11.516666666666667);
    EXPECT_DOUBLE_EQ(NmeaDecoder.m_dMagVar, -3.1);
    ParseRMC("081837,,,,,,,,,,");  // void, everything empty
    EXPECT_EQ(NmeaDecoder.m_cStatus, 'V');
    EXPECT_DOUBLE_EQ(NmeaDecoder.m_dLatitude, 48.1173);
    EXPECT_DOUBLE_EQ(NmeaDecoder.m_dLongitude, 11.516666666666667);
    EXPECT_EQ(NmeaDecoder.m_dSpeed, 0.0);
    EXPECT_EQ(NmeaDecoder.m_dCourse, 0.0);
    EXPECT_EQ(NmeaDecoder.m_dMagVar, 0.0);
    EXPECT_EQ(NmeaDecoder.m_nSecond, 37);
    // A hemisphere without its number negates what the record holds.
    ParseRMC(",A,,S,,W");
    EXPECT_DOUBLE_EQ(NmeaDecoder.m_dLatitude, -48.1173);
    EXPECT_DOUBLE_EQ(NmeaDecoder.m_dLongitude, -11.516666666666667);
    // A number without its hemisphere stays positive.
    ParseRMC(",A,4807.038,,01131.000,");
    EXPECT_DOUBLE_EQ(NmeaDecoder.m_dLatitude, 48.1173);
    EXPECT_EQ(NmeaDecoder.m_nRmcCount, 4u);
    ParseRMC(",X");
    EXPECT_EQ(NmeaDecoder.m_cStatus, 'X');
}

TEST(ParseRMC, UntrustedNumbersConvertSafely) {
    TempRoot root;
    struct { const char* legend; const char* data; int hour, minute, second; double speed; } rows[] = {
        {"short time field: missing pieces read 0", "12,A", 12, 0, 0, 0.0},
        {"odd-length time", "1234,A", 12, 34, 0, 0.0},
        {"fraction not kept", "235959.99,A", 23, 59, 59, 0.0},
        {"out of range kept as is", "999999,A", 99, 99, 99, 0.0},
        {"30-character speed: first 24 converted", ",A,,,,,123456789012345678901234567890", -1, -1, -1, 123456789012345678901234.0},
        {"huge speed", ",A,,,,,1e300", -1, -1, -1, 1e300},
        {"negative speed", ",A,,,,,-5", -1, -1, -1, -5.0},
        {"not a number", ",A,,,,,nan", -1, -1, -1, 0.0},
        {"infinity word", ",A,,,,,inf", -1, -1, -1, 0.0},
        {"hex form", ",A,,,,,0x10", -1, -1, -1, 0.0},
        {"leading number only", ",A,,,,,12.5knots", -1, -1, -1, 12.5},
        {"exponent without digits", ",A,,,,,3e", -1, -1, -1, 3.0},
    };
    for (auto& r : rows) {
        NmeaDecoder.m_nHour = NmeaDecoder.m_nMinute = NmeaDecoder.m_nSecond = 77;
        ParseRMC(r.data);
        if (r.hour >= 0) {
            EXPECT_EQ(NmeaDecoder.m_nHour, r.hour) << r.legend;
            EXPECT_EQ(NmeaDecoder.m_nMinute, r.minute) << r.legend;
            EXPECT_EQ(NmeaDecoder.m_nSecond, r.second) << r.legend;
        }
        EXPECT_DOUBLE_EQ(NmeaDecoder.m_dSpeed, r.speed) << r.legend;
    }
}

// Speeds, courses and coordinates convert to exactly the double strtod gives,
// whatever their digits, sign and point.
TEST(ParseRMC, DecimalsConvertExactlyAsStrtodDoes) {
    TempRoot root;
    const unsigned freshSeed = (unsigned)time(nullptr);
    RecordProperty("fresh_seed", (int)freshSeed);
    for (unsigned seed : {1u, 2u, freshSeed}) {
        std::mt19937 random(seed);
        for (int n = 0; n < 20000; ++n) {
            std::string number = random() % 4 == 0 ? (random() % 2 ? "-" : "+") : "";
            int digits = 1 + (int)(random() % 18), point = (int)(random() % (digits + 2)) - 1;
            for (int i = 0; i < digits; ++i) {
                if (i == point) number += '.';
                number += (char)('0' + random() % 10);
            }
            ParseRMC((",A,,,,," + number + "," + number).c_str());
            double expected = strtod(number.c_str(), nullptr);
            ASSERT_EQ(NmeaDecoder.m_dSpeed, expected) << number << ", seed " << seed;
            ASSERT_EQ(NmeaDecoder.m_dCourse, expected) << number << ", seed " << seed;
        }
    }
}

TEST(ParseRMC, DateFieldSetsTheDateAndCallsTheClock) {
    TempRoot root;
    ParseRMC("120000,V,,,,,,,010199,,,N");
    EXPECT_EQ(NmeaDecoder.m_nDay, 1);
    EXPECT_EQ(NmeaDecoder.m_nMonth, 1);
    EXPECT_EQ(NmeaDecoder.m_nYear, 2099) << "two-digit years are 20xx";
    EXPECT_EQ(NmeaDecoder.m_bTimeSet, 1) << "a dated sentence reaches the clock";
    ParseRMC("120001,V,,,,,,,15,,,N");  // a short date field
    EXPECT_EQ(NmeaDecoder.m_nDay, 15);
    EXPECT_EQ(NmeaDecoder.m_nMonth, 0);
    EXPECT_EQ(NmeaDecoder.m_nYear, 2000);
}

// ---- The sentence decoder ----

TEST(Decoder, SentencesWholeAndInPieces) {
    TempRoot root;
    const std::string good = Sentence("GPRMC,081836,A,3751.65,S,14507.36,E,000.0,360.0,,011.3,E");
    std::string noChecksum = "$GPRMC,081836,A,3751.65,S,14507.36,E,000.0,360.0,,011.3,E\r\n";
    std::string wrongDigit = good;
    wrongDigit[wrongDigit.size() - 3] ^= 1;
    std::string lower = good;
    for (char& c : lower) c = (char)tolower(c);
    lower.replace(1, 5, "GPRMC");  // lower-case checksum digits only
    std::string badDigit = good;
    badDigit[badDigit.size() - 4] = 'G';
    struct { const char* legend; std::string input; unsigned parsed; } rows[] = {
        {"checksummed", good, 1},
        {"no checksum, ends in CR", noChecksum, 1},
        {"one digit wrong", wrongDigit, 0},
        {"lower-case digits", lower, 1},
        {"a digit that is not hex", badDigit, 0},
        {"leading garbage", "xx,*\r\n" + good, 1},
        {"other talker", Sentence("GNRMC,081836,A,,,,,,,,,"), 0},
        {"lower-case address", Sentence("gprmc,081836,A,,,,,,,,,"), 0},
        {"two in a row", good + good, 2},
        {"zero bytes skipped", std::string("$GP\0RMC,1,A", 11) + "\r\n", 1},
        {"dollar inside data", Sentence("GPRMC,1$2,A"), 1},
        {"missing digits, then a good one", "$GPRMC,1,A*\r\n" + good, 1},
        // Plain char is signed on x86 and unsigned on ARM: bytes above 0x7F
        // must count the same everywhere.
        {"a byte above 0x7F in a field counts in the checksum",
         Sentence("GPRMC,081836,A,3751.65,S,14507.36,E,000.0,360.0,,011.3,\xC9\xFF"), 1},
        {"a checksum digit above 0x7F", [&] { std::string s = good; s[s.size() - 3] = '\xB1'; return s; }(), 0},
        {"a digit that is hex but for its top bit", [&] { std::string s = good; s[s.size() - 4] |= '\x80'; return s; }(), 0},
    };
    for (auto& r : rows) {
        for (size_t split = 0; split <= r.input.size(); split += r.input.size() / 7 + 1) {
            ResetDecoder();
            DWORD before = NmeaDecoder.m_nRmcCount;
            Feed(r.input.substr(0, split));
            Feed(r.input.substr(split));
            EXPECT_EQ(NmeaDecoder.m_nRmcCount - before, r.parsed) << r.legend << " split at " << split;
        }
    }
}

TEST(Decoder, StarRightAfterTheAddressMakesTheDataPart) {
    TempRoot root;
    Feed("$GPRMC*AB\r");
    EXPECT_EQ(NmeaDecoder.m_nRmcCount, 1u);
    EXPECT_STREQ(NmeaDecoder.m_szData, "AB");
    EXPECT_EQ(NmeaDecoder.m_nDecodeState, DECODE_IDLE);
}

TEST(Decoder, AddressAndDataLimits) {
    TempRoot root;
    Feed(Sentence("ABCDEFG,x"));
    EXPECT_STREQ(NmeaDecoder.m_szAddress, "ABCDEFG") << "7 characters are accepted";
    EXPECT_EQ(NmeaDecoder.m_nDecodeState, DECODE_IDLE);
    Feed("$ABCDEFGH");
    EXPECT_EQ(NmeaDecoder.m_nDecodeState, DECODE_IDLE) << "the 8th abandons";
    Feed(",A,,,*00\r\n");
    EXPECT_EQ(NmeaDecoder.m_nRmcCount, 0u);

    std::string data255 = "1,A," + std::string(251, '9');
    Feed(Sentence("GPRMC," + data255));
    EXPECT_EQ(NmeaDecoder.m_nRmcCount, 1u) << "255 data characters are accepted";
    EXPECT_EQ(strlen(NmeaDecoder.m_szData), 255u);
    Feed("$GPRMC," + data255 + "9");
    EXPECT_EQ(NmeaDecoder.m_nDecodeState, DECODE_IDLE) << "the 256th abandons";
    Feed("*00\r\n");
    EXPECT_EQ(NmeaDecoder.m_nRmcCount, 1u);
}

// ---- The data-ready sink's line assembler ----

std::vector<BYTE> g_forwarded;
int g_oldProcCalls = 0;

LRESULT CALLBACK UbxRecorder(HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
    if (msg == UBLOXPARSINGMSG) g_forwarded.push_back((BYTE)l);
    return DefWindowProc(hwnd, msg, w, l);
}

LRESULT CALLBACK CountingOldProc(HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
    ++g_oldProcCalls;
    return DefWindowProc(hwnd, msg, w, l);
}

class AssemblerTest : public ::testing::Test {
protected:
    TempRoot root;
    HWND main_ = 0;
    void SetUp() override {
        WNDCLASS wc = {};
        wc.lpfnWndProc = UbxRecorder;
        wc.lpszClassName = L"UBXREC";
        RegisterClass(&wc);
        main_ = CreateWindowEx(0, L"UBXREC", L"main", 0, 0, 0, 0, 0, 0, 0, 0, 0);
        UbxSink.m_hWnd = CreateWindowEx(0, L"UBXREC", L"ubx", WS_CHILD, 0, 0, 0, 0, main_, 0, 0, 0);
        CreateDataReadSink(&DataReadSink, main_, 0);
        ASSERT_NE(DataReadSink.m_hWnd, nullptr);
    }
    // Queues the bytes and handles one DATA_READ, as the reader thread
    // would have it; returns the procedure's result.
    LRESULT Batch(const std::string& bytes) {
        for (char c : bytes) EXPECT_EQ(Push(&g_SerialPort.m_QueueRead, (BYTE)c), 1);
        LRESULT r = DataReadProc(DataReadSink.m_hWnd, DATA_READ, 0, 0);
        Pump();
        return r;
    }
};

TEST_F(AssemblerTest, EmptyQueueReturnsMinusOneWithoutPassingOn) {
    DataReadSink.m_OldWndProc = CountingOldProc;
    EXPECT_EQ(Batch(""), -1);
    EXPECT_EQ(g_oldProcCalls, 0);
    Batch("x");
    EXPECT_EQ(g_oldProcCalls, 1);
}

std::vector<std::string> OneByEach(const std::string& bytes) {
    std::vector<std::string> out;
    for (char c : bytes) out.push_back(std::string(1, c));
    return out;
}

TEST_F(AssemblerTest, BatchRulesForLinesAndForwarding) {
    const std::string rmc = Sentence("GPRMC,081836,A,3751.65,S,14507.36,E,000.0,360.0,,011.3,E");
    const std::string gga = Sentence("GPGGA,081836,3751.65,S,14507.36,E,1,05,1.5,280.2,M,-34.0,M,,");
    struct { const char* legend; std::vector<std::string> batches; unsigned parsed; } rows[] = {
        {"one RMC line", {rmc}, 1},
        {"other sentences only", {gga + gga}, 0},
        {"RMC among others", {gga + rmc + gga}, 1},
        {"split between two batches", {rmc.substr(0, 30), rmc.substr(30)}, 1},
        {"split, then a whole one", {rmc.substr(0, 30), rmc.substr(30) + rmc}, 2},
        {"split before the line feed", {rmc.substr(0, rmc.size() - 1), "\n"}, 1},
        {"split after the dollar", {"$", rmc.substr(1)}, 1},
        {"split inside the prefix", {gga + "$GPR", "MC" + rmc.substr(6)}, 1},
        {"one byte at a time", OneByEach(rmc), 1},
        {"a dollar in the next batch restarts it", {rmc.substr(0, 30), rmc}, 1},
        // A chunk dropped on a full queue splices two sentences together;
        // the checksum of the second no longer fits the text.
        {"spliced by a dropped chunk", {rmc.substr(0, 25), gga.substr(20) + rmc}, 1},
        {"a line with no checksum ends at its carriage return",
         {"$GPRMC,081836,A,3751.65,S,14507.36,E,000.0,360.0,,011.3,E\r\n"}, 1},
        {"a second dollar restarts the line", {"$GPRMC,garbage" + rmc}, 1},
        {"dollar and line feed only", {"$\n" + rmc}, 1},
        {"line feed outside a line", {"\n\n" + rmc}, 1},
        {"binary noise between", {std::string("\xB5\x62\x05\x01\x02\x00", 6) + rmc}, 1},
    };
    for (auto& r : rows) {
        g_forwarded.clear();
        DWORD before = NmeaDecoder.m_nRmcCount;
        std::string all;
        for (const std::string& b : r.batches) {
            Batch(b);
            all += b;
        }
        Batch("\n");  // closes whatever a row left open
        all += "\n";
        EXPECT_EQ(NmeaDecoder.m_nRmcCount - before, r.parsed) << r.legend;
        EXPECT_EQ(std::string(g_forwarded.begin(), g_forwarded.end()), all) << r.legend << ": every byte, in order";
    }
}

TEST_F(AssemblerTest, LongLinesKeepTheirFirst80BytesAndDoNotSwallowTheNext) {
    // 82 characters with CR LF: the checksum lies within the first 80.
    std::string body = "GPRMC,081836,A,3751.65,S,14507.36,E,000.0,360.0,,011.3,E,A";
    body.insert(body.find("3751.65") + 7, 76 - body.size(), '0');
    std::string exact = Sentence(body);
    ASSERT_EQ(exact.size(), 82u);
    DWORD before = NmeaDecoder.m_nRmcCount;
    Batch(exact);
    EXPECT_EQ(NmeaDecoder.m_nRmcCount - before, 1u) << "decoded through its checksum, CR lost";
    // A line whose '*' is beyond byte 80 is dropped, and only it.
    std::string overlong = "$GPRMC,1,A," + std::string(90, '7') + "*00\r\n";
    std::string next = Sentence("GPRMC,081837,A,3751.65,S,14507.36,E,000.0,360.0,,011.3,E");
    before = NmeaDecoder.m_nRmcCount;
    Batch(overlong + next);
    EXPECT_EQ(NmeaDecoder.m_nRmcCount - before, 1u);
    EXPECT_EQ(NmeaDecoder.m_nSecond, 37);
}

TEST_F(AssemblerTest, NothingIsForwardedOnceTheUbxSinkHasClosed) {
    const std::string rmc = Sentence("GPRMC,081836,A,3751.65,S,14507.36,E,000.0,360.0,,011.3,E");
    PostMessage(UbxSink.m_hWnd, WM_CLOSE, 0, 0);
    UbxSink.m_hWnd = 0;
    Pump();
    g_forwarded.clear();
    DWORD before = NmeaDecoder.m_nRmcCount;
    Batch(rmc);
    EXPECT_EQ(NmeaDecoder.m_nRmcCount - before, 1u);
    EXPECT_TRUE(g_forwarded.empty());
    MSG msg;
    EXPECT_FALSE(PeekMessage(&msg, 0, 0, 0, PM_REMOVE)) << "nothing posted to window 0";
}

TEST_F(AssemblerTest, CloseZeroesTheHandleBeforePassingOn) {
    HWND sink = DataReadSink.m_hWnd;
    PostMessage(sink, WM_CLOSE, 0, 0);
    Pump();
    EXPECT_EQ(DataReadSink.m_hWnd, nullptr);
    EXPECT_FALSE(IsWindow(sink));
}

// ---- Real captures ----

std::vector<NmeaRecord> g_parsed;

// What one RMC sentence put in the record, as text to compare and print.
std::string Fix(const NmeaRecord& r) {
    char b[256];
    snprintf(b, sizeof b, "%02u:%02u:%02u %c %.9f %.9f %.6f %.6f %u-%u-%u %.6f", r.m_nHour, r.m_nMinute, r.m_nSecond,
             r.m_cStatus, r.m_dLatitude, r.m_dLongitude, r.m_dSpeed, r.m_dCourse, r.m_nYear, r.m_nMonth, r.m_nDay,
             r.m_dMagVar);
    return b;
}
void Observe(const NmeaRecord* r) { g_parsed.push_back(*r); }

class CaptureReplay : public ::testing::TestWithParam<const char*> {};

TEST_P(CaptureReplay, EveryGprmcDecodesAndAgreesWithTheExpectedReports) {
    TempRoot root;
    setenv("TZ", "UTC", 1);
    std::string name = GetParam();
    std::string raw = Capture(name + ".raw");
    std::vector<std::string> expected;
    {
        std::istringstream in(Capture(name + ".rmc-expected.jsonl"));
        std::string line;
        while (std::getline(in, line))
            // Only sentences the receiver sent as $GPRMC: the reports name
            // a u-blox 8's $GNRMC as $GPRMC too.
            if (JsonText(line, "rmc").compare(0, 6, "$GPRMC") == 0 && raw.find(JsonText(line, "rmc")) != std::string::npos)
                expected.push_back(line);
    }
    HWND main = CreateWindowEx(0, L"static", L"main", 0, 0, 0, 0, 0, 0, 0, 0, 0);
    CreateDataReadSink(&DataReadSink, main, 0);
    SetRmcObserver(Observe);
    // The reader thread hands over whatever the driver holds, which ends
    // anywhere in a sentence: fixed sizes from a byte to a full drain, and
    // random sizes. Every split must give the same records. Random sizes
    // come from two fixed seeds, the same in every run, and one new seed
    // each run, named in the legend of a failure.
    const unsigned freshSeed = (unsigned)time(nullptr);
    const struct { int batch; unsigned seed; } splits[] = {
        {4096, 0}, {192, 0}, {16, 0}, {7, 0}, {3, 0}, {2, 0}, {1, 0}, {0, 1}, {0, 2}, {0, freshSeed}};
    const NmeaRecord start = NmeaDecoder;
    std::vector<std::vector<NmeaRecord>> runs;
    std::vector<std::string> legends;
    for (const auto& split : splits) {
        const int batch = split.batch;
        const unsigned seed = split.seed;
        std::mt19937 random(seed);
        g_parsed.clear();
        // Empty fields keep what the record held: each run starts from the
        // record of a fresh process, but for the clock's flags, so that the
        // clock is set (with its NAND waits) only in the first run.
        NmeaRecord fresh = start;
        fresh.m_bTimeSet = NmeaDecoder.m_bTimeSet;
        fresh.m_bFixTimeSet = NmeaDecoder.m_bFixTimeSet;
        NmeaDecoder = fresh;
        for (size_t at = 0; at < raw.size();) {
            size_t n = batch ? (size_t)batch : std::uniform_int_distribution<size_t>(1, 300)(random);
            n = std::min(n, raw.size() - at);
            FeedDrain(raw.data() + at, (int)n);
            at += n;
        }
        runs.push_back(g_parsed);
        legends.push_back(batch ? "batches of " + std::to_string(batch) : "random batches, seed " + std::to_string(seed));
    }
    for (size_t k = 1; k < runs.size(); ++k) {
        ASSERT_EQ(runs[k].size(), runs[0].size()) << legends[k];
        for (size_t i = 0; i < runs[k].size(); ++i)
            EXPECT_EQ(Fix(runs[k][i]), Fix(runs[0][i])) << legends[k] << ", record " << i;
    }
    g_parsed = runs[0];
    double worstPosition = 0, worstSpeed = 0;
    int compared = 0;
    for (size_t i = 0; i < expected.size(); ++i) {
        const std::string& e = expected[i];
        const NmeaRecord& r = g_parsed[i];
        EXPECT_EQ(std::string(1, r.m_cStatus), JsonText(e, "status")) << e;
        if (JsonText(e, "status") != "A" || e.find("\"tpv\": null") != std::string::npos) continue;
        ++compared;
        bool has;
        double lat = JsonNumber(e, "lat", &has), lon = JsonNumber(e, "lon", &has);
        EXPECT_NEAR(r.m_dLatitude, lat, 1e-6) << e;
        EXPECT_NEAR(r.m_dLongitude, lon, 1e-6) << e;
        worstPosition = std::max({worstPosition, std::fabs(r.m_dLatitude - lat), std::fabs(r.m_dLongitude - lon)});
        double speed = JsonNumber(e, "speed", &has);
        EXPECT_NEAR(r.m_dSpeed * 0.514444, speed, 0.001) << e;
        worstSpeed = std::max(worstSpeed, std::fabs(r.m_dSpeed * 0.514444 - speed));
        double track = JsonNumber(e, "track", &has);
        if (has) {
            EXPECT_NEAR(r.m_dCourse, track, 1e-9) << e;
        }
        char when[32];
        snprintf(when, sizeof when, "%04d-%02d-%02dT%02d:%02d:%02d", r.m_nYear, r.m_nMonth, r.m_nDay, r.m_nHour,
                 r.m_nMinute, r.m_nSecond);
        EXPECT_EQ(JsonText(e, "time").substr(0, 19), when) << e;
    }
    RecordProperty("compared", compared);
    printf("%s: %zu decoded, %d compared, largest position difference %.3g deg, speed %.3g m/s\n", name.c_str(),
           g_parsed.size(), compared, worstPosition, worstSpeed);
}

INSTANTIATE_TEST_SUITE_P(Captures, CaptureReplay,
                         ::testing::Values("gr601-w", "ublox-lea-4h", "garmin48", "com-1289", "magellan-ec10",
                                           "ublox8-uniqid-monhw", "vk162-ublox7-cold-start"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return CaptureTestName(info.param); });

}  // namespace
