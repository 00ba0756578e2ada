// Clock synchronisation and the NAND first-fix record, with the simulated
// clock and a private platform root.
#include "app/messages.h"
#include "clock/nand_record.h"
#include "clock/sync_clock.h"
#include "nmea/data_read_sink.h"
#include "nmea/nmea_record.h"
#include "serial/serial_port.h"
#include "support.h"
#include "ubx/ubx_sink.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <thread>

using namespace test;

namespace {

std::string Rmc(char status, const std::string& time, const std::string& date) {
    return time + "," + std::string(1, status) + ",4807.038,N,01131.000,E,022.4,084.4," + date + ",003.1,W";
}

std::string TimeBytes(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s) {
    SYSTEMTIME t = {y, mo, 0, d, h, mi, s, 0};
    BYTE b[BACKUP_TIME_BYTES];
    SystemTimeBytes(&t, b);
    return std::string((char*)b, sizeof b);
}

class ClockTest : public ::testing::Test {
protected:
    TempRoot root;
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        UbxState.m_bVersionChecked = 1;  // no port in most of these
    }
    std::string Backup() { return ReadFile(root.File("DataStorage/BackupTime")); }
};

struct GateCase {
    const char* legend;
    const char* statuses;
    int syncs;
    int timeSet, fixTimeSet;
};

class ClockGate : public ClockTest, public ::testing::WithParamInterface<GateCase> {};

TEST_P(ClockGate, SetsTheClockOnceForTheFirstDateAndOnceMoreAtTheFirstFix) {
    const GateCase& c = GetParam();
    StderrCapture cap;
    int second = 0, lastSynced = -1;
    std::string log;
    for (const char* s = c.statuses; *s; ++s, ++second) {
        size_t before = CountOf(cap.Text(), "RMC Date Field");
        char time[16];
        snprintf(time, sizeof time, "1200%02d", second);
        ParseRMC(Rmc(*s, time, "150318").c_str());
        if (CountOf(cap.Text(), "RMC Date Field") > before) lastSynced = second;
    }
    EXPECT_EQ((int)CountOf(cap.Text(), "RMC Date Field"), c.syncs) << c.legend;
    EXPECT_EQ((int)CountOf(cap.Text(), "Local Time -- [2018.3.15] 12:0:"), c.syncs) << c.legend;
    EXPECT_EQ(NmeaDecoder.m_bTimeSet, c.timeSet);
    EXPECT_EQ(NmeaDecoder.m_bFixTimeSet, c.fixTimeSet);
    ASSERT_GE(lastSynced, 0);
    EXPECT_EQ(Hex(Backup()), Hex(TimeBytes(2018, 3, 15, 12, 0, lastSynced))) << c.legend;
    SYSTEMTIME now;
    GetSystemTime(&now);
    EXPECT_EQ(now.wYear, 2018);
    EXPECT_EQ(now.wMonth, 3);
    EXPECT_EQ(now.wDay, 15);
    EXPECT_LE(now.wSecond - lastSynced, 3) << "the clock follows the last synchronisation";
}

INSTANTIATE_TEST_SUITE_P(Statuses, ClockGate,
                         ::testing::Values(GateCase{"V then V", "VV", 1, 1, 0},
                                           GateCase{"A first", "AAV", 1, 1, 1},
                                           GateCase{"V, V, then A", "VVAA", 2, 1, 1},
                                           GateCase{"other status passes every time", "XX", 2, 1, 0}));

TEST_F(ClockTest, LogLinesAndBackupFileOfOneSynchronisation) {
    StderrCapture cap;
    ParseRMC(Rmc('A', "225446", "191194").c_str());
    std::string text = cap.Text();
    EXPECT_EQ(text.substr(0, text.find('\n') + 1), Tagged(32, "RMC Date Field [ A ] [1]-[1] -- [2094.11.19] 22:54:46"));
    EXPECT_NE(text.find(Tagged(32, "Local Time -- [2094.11.19] 22:54:46")), std::string::npos);
    std::string b = Backup();
    ASSERT_EQ(b.size(), 16u);
    EXPECT_EQ(Hex(b), "2E 08 0B 00 00 00 13 00 16 00 36 00 2E 00 00 00") << "UTC, day of week and ms 0";
    EXPECT_FALSE(FileExists(root.File("DataStorage/BackupTime.new")));
}

TEST_F(ClockTest, LocalTimeIsReadBackAfterTheSet) {
    setenv("TZ", "UTC-3", 1);
    tzset();
    StderrCapture cap;
    ParseRMC(Rmc('A', "225446", "191194").c_str());
    EXPECT_NE(cap.Text().find(Tagged(32, "Local Time -- [2094.11.20] 1:54:46")), std::string::npos);
    EXPECT_EQ(Hex(Backup()), Hex(TimeBytes(2094, 11, 19, 22, 54, 46))) << "the file keeps UTC";
}

TEST_F(ClockTest, ARefusedDateStillWritesTheFileAndGoesOn) {
    SYSTEMTIME before;
    GetSystemTime(&before);
    StderrCapture cap;
    ParseRMC(Rmc('A', "256161", "320099").c_str());
    SYSTEMTIME after;
    GetSystemTime(&after);
    EXPECT_EQ(after.wYear, before.wYear) << "the clock was not moved";
    EXPECT_EQ(Hex(Backup()), Hex(TimeBytes(2099, 0, 32, 25, 61, 61)));
    EXPECT_EQ(CountOf(cap.Text(), "Local Time --"), 1u);
}

TEST_F(ClockTest, AMissingDataStorageFolderWritesNothingAndGoesOn) {
    TempRoot bare(false);
    StderrCapture cap;
    ParseRMC(Rmc('A', "120000", "150318").c_str());
    EXPECT_FALSE(FileExists(bare.File("DataStorage")));
    EXPECT_EQ(CountOf(cap.Text(), "Local Time --"), 1u);
    EXPECT_TRUE(FileExists(bare.File("NandArea_ReadData.bin")));
}

TEST_F(ClockTest, AnExistingBackupIsReplacedWhole) {
    FILE* f = fopen(root.File("DataStorage/BackupTime").c_str(), "wb");
    fputs("old content that is longer than sixteen bytes", f);
    fclose(f);
    ParseRMC(Rmc('A', "120000", "150318").c_str());
    EXPECT_EQ(Hex(Backup()), Hex(TimeBytes(2018, 3, 15, 12, 0, 0)));
}

// COM1 on the pty for the UBX commands, with the receiver not yet identified.
HANDLE OpenPortOfAnUnidentifiedReceiver() {
    HANDLE port = CreateFile(L"COM1:", GENERIC_READ | GENERIC_WRITE, 0, 0, OPEN_EXISTING, 0x40000080, 0);
    UbxState.m_hPort = port == INVALID_HANDLE_VALUE ? 0 : port;
    UbxState.m_bVersionChecked = 0;
    return port;
}

TEST_F(ClockTest, ThePollGoesOutOnlyWhileTheReceiverIsUnidentified) {
    Pty pty;
    HANDLE port = OpenPortOfAnUnidentifiedReceiver();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ParseRMC(Rmc('V', "120000", "150318").c_str());
    EXPECT_EQ(Hex(pty.Read(10, 1000)), Hex(ExpectedFrame("poll-version") + "\r\n"));
    UbxState.m_bVersionChecked = 1;
    ParseRMC(Rmc('A', "120001", "150318").c_str());
    EXPECT_EQ(NmeaDecoder.m_bFixTimeSet, 1);
    EXPECT_EQ(pty.Drain(200), "") << "identified: no poll";
    CloseHandle(port);
}

// The poll must not wait a second behind the NAND record's pauses: it goes
// out before the record is looked at.
TEST_F(ClockTest, ThePollGoesOutBeforeTheNandRecordIsChecked) {
    Pty pty;
    HANDLE port = OpenPortOfAnUnidentifiedReceiver();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    StderrCapture cap;
    std::thread sync([] { ParseRMC(Rmc('A', "120000", "150318").c_str()); });
    // The record's first line comes after a 500 ms pause; the poll before it.
    std::string poll = pty.Read(10, 5000);
    std::string logged = cap.Text();
    sync.join();
    EXPECT_EQ(Hex(poll), Hex(ExpectedFrame("poll-version") + "\r\n"));
    EXPECT_EQ(logged.find("- Read  :"), std::string::npos) << logged;
    EXPECT_NE(cap.Text().find("- Read  :"), std::string::npos);
    CloseHandle(port);
}

// RMC dates run to 2099: a clock that wrapped in 2038 would give 1904's
// time zone rules and a wrong local hour in the log and the NAND record.
TEST_F(ClockTest, DatesAfter2038KeepTheirLocalTimeBackupAndRecord) {
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);  // summer time: UTC+2 in July
    tzset();
    StderrCapture cap;
    ParseRMC(Rmc('A', "120000", "150740").c_str());
    EXPECT_NE(cap.Text().find("Local Time -- [2040.7.15] 14:0:0"), std::string::npos) << cap.Text();
    EXPECT_NE(cap.Text().find("- Write  : 2040-07-15 14:00:852697508"), std::string::npos) << cap.Text();
    EXPECT_EQ(Hex(Backup()), Hex(TimeBytes(2040, 7, 15, 12, 0, 0)));
    EXPECT_EQ(Hex(ReadFile(root.File(".platform/nand/area4.bin")).substr(0, 12)), "A4 21 D3 32 F8 07 07 0F 0E 00 E4 54");
    struct { SYSTEMTIME utc; WORD year, month, day, hour; } rows[] = {
        {{2038, 1, 0, 19, 3, 14, 8, 0}, 2038, 1, 19, 4},   // one second past 32 bits
        {{2099, 12, 0, 31, 23, 30, 0, 0}, 2100, 1, 1, 0},  // the last RMC year, into the next
        {{2106, 2, 0, 7, 6, 28, 16, 0}, 2106, 2, 7, 7},    // past unsigned 32 bits
    };
    for (auto& r : rows) {
        ASSERT_TRUE(SetSystemTime(&r.utc)) << r.utc.wYear;
        SYSTEMTIME local = {};
        GetLocalTime(&local);
        EXPECT_EQ(local.wYear, r.year) << r.utc.wYear;
        EXPECT_EQ(local.wMonth, r.month) << r.utc.wYear;
        EXPECT_EQ(local.wDay, r.day) << r.utc.wYear;
        EXPECT_EQ(local.wHour, r.hour) << r.utc.wYear;
    }
}

// ---- The NAND record ----

std::string AreaPath(const TempRoot& root) { return root.File(".platform/nand/area4.bin"); }

TEST_F(ClockTest, ABlankAreaGetsTheRecordWithTheLocalTime) {
    SYSTEMTIME t = {2024, 3, 0, 5, 7, 9, 30, 0};
    SetSystemTime(&t);
    StderrCapture cap;
    DWORD start = GetTickCount();
    CheckNandRecord();
    EXPECT_GE(GetTickCount() - start, 1000u) << "two 500 ms waits";
    EXPECT_EQ(cap.Text(), "- Read  : 65535-255-255 255:255:-1\r\n- Write  : 2024-03-05 07:09:852697508\r\n");
    EXPECT_FALSE(FileExists(root.File("NandArea_WriteData.bin")));
    EXPECT_EQ(Hex(ReadFile(AreaPath(root)).substr(0, 12)), "A4 21 D3 32 E8 07 03 05 07 09 E4 54");
    // Present from now on: one read line, nothing written.
    StderrCapture again;
    CheckNandRecord();
    EXPECT_EQ(again.Text(), "- Read  : 2024-03-05 07:09:852697508\r\n");
}

TEST_F(ClockTest, ARecordWithTheMagicCountsAsPresentWhateverItsTime) {
    mkdir(root.File(".platform").c_str(), 0755);
    mkdir(root.File(".platform/nand").c_str(), 0755);
    std::string area = FromHex("A4 21 D3 32 FF FF 63 63 63 63 00 00") + std::string(4096 - 12, '\xFF');
    FILE* f = fopen(AreaPath(root).c_str(), "wb");
    fwrite(area.data(), 1, area.size(), f);
    fclose(f);
    StderrCapture cap;
    CheckNandRecord();
    EXPECT_EQ(cap.Text(), "- Read  : 65535-99-99 99:99:852697508\r\n");
    EXPECT_EQ(ReadFile(AreaPath(root)), area);
}

TEST_F(ClockTest, AMissingDumpLeavesAnEmptyReadFileAndWritesTheRecord) {
    // Make the NAND area unreachable: the dump produces no file.
    mkdir(root.File(".platform").c_str(), 0755);
    FILE* f = fopen(root.File(".platform/nand").c_str(), "w");
    fclose(f);
    SYSTEMTIME t = {2030, 1, 0, 2, 3, 4, 5, 0};
    SetSystemTime(&t);
    StderrCapture cap;
    CheckNandRecord();
    EXPECT_EQ(cap.Text(), "- Read  : 0000-00-00 00:00:0\r\n- Write  : 2030-01-02 03:04:852697508\r\n");
    EXPECT_TRUE(FileExists(root.File("NandArea_ReadData.bin")));
    EXPECT_EQ(ReadFile(root.File("NandArea_ReadData.bin")), "");
    EXPECT_FALSE(FileExists(root.File("NandArea_WriteData.bin")));
}

// After a cold start these receivers send void sentences dated with their
// default day, 050180, which reads as 2080. The clock follows them until the
// fix, but the once-in-a-life record must hold the first valid fix's local
// time.
TEST(NandRecord, AColdStartsDefaultDateNeverReachesTheRecord) {
    struct Case {
        const char* capture;
        const char* written;
        const char* record;
        const char* backup;  // UTC of the first valid fix
    } cases[] = {
        {"mtk-3301", "- Write  : 2008-08-23 08:14:852697508", "A4 21 D3 32 D8 07 08 17 08 0E E4 54",
         "D8 07 08 00 00 00 17 00 08 00 0E 00 24 00 00 00"},
        {"rgm3800", "- Write  : 2008-08-21 10:25:852697508", "A4 21 D3 32 D8 07 08 15 0A 19 E4 54",
         "D8 07 08 00 00 00 15 00 0A 00 19 00 17 00 00 00"},
    };
    setenv("TZ", "UTC", 1);
    tzset();
    UbxState.m_bVersionChecked = 1;
    HWND main = CreateWindowEx(0, L"static", L"main", 0, 0, 0, 0, 0, 0, 0, 0, 0);
    CreateDataReadSink(&DataReadSink, main, 0);
    const NmeaRecord fresh = NmeaDecoder;
    for (const Case& c : cases) {
        TempRoot root;
        NmeaDecoder = fresh;
        std::string raw = Capture(std::string(c.capture) + ".raw");
        StderrCapture cap;
        for (size_t at = 0; at < raw.size(); at += 64) {
            for (size_t i = at; i < std::min(raw.size(), at + 64); ++i) Push(&g_SerialPort.m_QueueRead, (BYTE)raw[i]);
            DataReadProc(DataReadSink.m_hWnd, DATA_READ, 0, 0);
        }
        std::string log = cap.Text();
        EXPECT_EQ(CountOf(log, "RMC Date Field [ V ]"), 1u) << c.capture;
        EXPECT_NE(log.find("-- [2080.1.5] 23:59:"), std::string::npos) << c.capture << ": the void date sets the clock";
        EXPECT_EQ(CountOf(log, "RMC Date Field [ A ]"), 1u) << c.capture;
        EXPECT_EQ(CountOf(log, "- Read  :"), 1u) << c.capture << ": looked up at the fix only\n" << log;
        EXPECT_EQ(CountOf(log, "- Write  :"), 1u) << c.capture;
        EXPECT_NE(log.find(c.written), std::string::npos) << c.capture << "\n" << log;
        EXPECT_EQ(Hex(ReadFile(AreaPath(root)).substr(0, 12)), c.record) << c.capture;
        EXPECT_EQ(Hex(ReadFile(root.File("DataStorage/BackupTime"))), c.backup) << c.capture;
    }
}

TEST(NandRecord, LayoutOfTheTwelveBytes) {
    SYSTEMTIME t = {2026, 12, 2, 8, 23, 59, 58, 999};
    BYTE r[NAND_RECORD_BYTES];
    BuildNandRecord(&t, r);
    EXPECT_EQ(Hex(std::string((char*)r, sizeof r)), "A4 21 D3 32 EA 07 0C 08 17 3B E4 54");
}

}  // namespace
