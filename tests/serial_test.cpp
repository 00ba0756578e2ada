// The serial link over a real pseudo-terminal: the platform's comm-port
// operations, the byte queue, the serial port and the reader thread.
#include "app/debug_log.h"
#include "app/platform/posix/internal.h"
#include "app/main_window.h"
#include "app/messages.h"
#include "nmea/data_read_sink.h"
#include "nmea/nmea_record.h"
#include "serial/gps_thread.h"
#include "serial/serial_port.h"
#include "support.h"
#include "ubx/ubx_sink.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <limits>
#include <termios.h>
#include <thread>

using namespace test;

namespace {

HANDLE OpenCom1() {
    return CreateFile(L"COM1:", GENERIC_READ | GENERIC_WRITE, 0, 0, OPEN_EXISTING,
                      FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, 0);
}

termios SlaveSettings(const Pty& pty) {
    termios t = {};
    tcgetattr(pty.master(), &t);  // a pty's pair shares one set of settings
    return t;
}

double CpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

}  // namespace

// ---- The platform's comm-port operations ----

TEST(CommPort, OpenIsExclusiveRawAndKeepsFlowControlThroughAReadModifyWrite) {
    TempRoot root;
    Pty pty;
    termios t = SlaveSettings(pty);
    t.c_cflag |= CRTSCTS;
    t.c_iflag |= IXON | ICRNL;
    t.c_lflag |= ECHO | ICANON;
    t.c_oflag |= OPOST | ONLCR;
    ASSERT_EQ(tcsetattr(pty.master(), TCSANOW, &t), 0);

    HANDLE h = OpenCom1();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenCom1(), INVALID_HANDLE_VALUE) << "a second open must fail";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);

    t = SlaveSettings(pty);
    EXPECT_FALSE(t.c_lflag & (ECHO | ICANON | ISIG));
    EXPECT_FALSE(t.c_iflag & ICRNL);
    EXPECT_FALSE(t.c_oflag & OPOST);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_TRUE(t.c_cflag & CREAD);

    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));
    EXPECT_TRUE(dcb.fOutxCtsFlow);
    EXPECT_EQ(dcb.fRtsControl, (DWORD)RTS_CONTROL_HANDSHAKE);
    EXPECT_FALSE(dcb.fOutX) << "binary: XON/XOFF would eat 0x11 and 0x13";
    EXPECT_FALSE(t.c_iflag & IXON);
    dcb.fOutX = 1;  // asked for explicitly, it is kept
    dcb.XonLim = 1234;  // no termios counterpart: must survive anyway
    dcb.EvtChar = 0x7E;
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    ASSERT_TRUE(SetCommState(h, &dcb));
    DCB back = {};
    ASSERT_TRUE(GetCommState(h, &back));
    EXPECT_EQ(back.XonLim, 1234);
    EXPECT_EQ(back.EvtChar, 0x7E);
    EXPECT_TRUE(back.fOutxCtsFlow);
    EXPECT_TRUE(back.fOutX);
    t = SlaveSettings(pty);
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B9600);
    EXPECT_EQ(t.c_cflag & CSIZE, (tcflag_t)CS8);
    EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB));
    EXPECT_TRUE(t.c_cflag & CRTSCTS);

    CloseHandle(h);
    HANDLE again = OpenCom1();
    EXPECT_NE(again, INVALID_HANDLE_VALUE) << "closing frees the device";
    CloseHandle(again);
}

TEST(CommPort, LineSettingsMapBothWays) {
    // A pseudo-terminal forces 8 bits without parity, so the mapping itself
    // is checked against termios records.
    struct Row { DWORD baud; BYTE size, parity, stop; bool ok; tcflag_t cflag; } rows[] = {
        {4800, 8, NOPARITY, ONESTOPBIT, true, CS8},
        {19200, 7, EVENPARITY, ONESTOPBIT, true, CS7 | PARENB},
        {115200, 7, ODDPARITY, TWOSTOPBITS, true, CS7 | PARENB | PARODD | CSTOPB},
        {9600, 6, MARKPARITY, ONESTOPBIT, true, CS6 | PARENB | PARODD | CMSPAR},
        {9600, 5, SPACEPARITY, ONE5STOPBITS, true, CS5 | PARENB | CMSPAR | CSTOPB},
        {9600, 4, NOPARITY, ONESTOPBIT, false, 0},
        {9600, 9, NOPARITY, ONESTOPBIT, false, 0},
        {14400, 8, NOPARITY, ONESTOPBIT, false, 0},  // no such rate on Linux
        {9600, 8, 5, ONESTOPBIT, false, 0},
        {9600, 8, NOPARITY, ONE5STOPBITS, false, 0},
    };
    const tcflag_t kMask = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    for (const Row& r : rows) {
        DCB dcb = {};
        dcb.BaudRate = r.baud;
        dcb.ByteSize = r.size;
        dcb.Parity = r.parity;
        dcb.StopBits = r.stop;
        dcb.fOutX = 1;
        termios t = {};
        EXPECT_EQ(kp::TermiosFromDcb(dcb, &t), r.ok) << r.baud << " " << (int)r.size;
        if (!r.ok) continue;
        EXPECT_EQ(t.c_cflag & kMask, r.cflag) << r.baud;
        EXPECT_TRUE(t.c_iflag & IXON);
        DCB back = {};
        kp::DcbFromTermios(t, &back);
        EXPECT_EQ(back.BaudRate, r.baud);
        EXPECT_EQ(back.ByteSize, r.size);
        EXPECT_EQ(back.Parity, r.parity);
        EXPECT_EQ(back.StopBits, r.stop);
        EXPECT_TRUE(back.fOutX);
    }
    // On the pseudo-terminal: baud rate and stop bits reach the line.
    TempRoot root;
    Pty pty;
    HANDLE h = OpenCom1();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB dcb = {};
    GetCommState(h, &dcb);
    dcb.BaudRate = 38400;
    dcb.StopBits = TWOSTOPBITS;
    ASSERT_TRUE(SetCommState(h, &dcb));
    termios t = SlaveSettings(pty);
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B38400);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    CloseHandle(h);
}

TEST(CommPort, WriteHonoursItsTimeOutAndIsNotReportedAsSuccess) {
    TempRoot root;
    Pty pty;
    HANDLE h = OpenCom1();
    COMMTIMEOUTS to = {MAXDWORD, 0, 0, 0, 200};
    ASSERT_TRUE(SetCommTimeouts(h, &to));
    // Nobody reads the other end: the line's buffer fills and stays full.
    std::string block(4096, 'x');
    DWORD written = 0;
    BOOL ok = TRUE;
    DWORD start = GetTickCount();
    for (int i = 0; i < 1000 && ok; ++i) ok = WriteFile(h, block.data(), (DWORD)block.size(), &written, 0);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), 1460u);  // ERROR_TIMEOUT
    EXPECT_LT(written, block.size());
    EXPECT_LT(GetTickCount() - start, 5000u);
    PurgeComm(h, PURGE_TXCLEAR | PURGE_RXCLEAR);
    CloseHandle(h);
}

TEST(CommPort, AVanishedDeviceNeverMakesTheWaitSpin) {
    TempRoot root;
    Pty pty;
    HANDLE h = OpenCom1();
    SetCommMask(h, EV_RXCHAR);
    pty.CloseMaster();
    DWORD mask = 1;
    WaitCommEvent(h, &mask, 0);
    EXPECT_EQ(mask, 0u) << "hang-up is not a received character";
    char buf[16];
    DWORD n = 7;
    ReadFile(h, buf, sizeof buf, &n, 0);
    EXPECT_EQ(n, 0u);
    CloseHandle(h);
}

TEST(CommPort, ClosingWhileAnotherThreadWaitsNeverLetsItReachANewerObject) {
    TempRoot root;
    Pty pty;
    HANDLE h = OpenCom1();
    SetCommMask(h, EV_RXCHAR);
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        DWORD mask = 0;
        EXPECT_FALSE(WaitCommEvent(h, &mask, 0));
        EXPECT_EQ(mask, 0u);
        returned = true;
    });
    Sleep(50);
    ASSERT_TRUE(CloseHandle(h));
    ASSERT_TRUE(WaitFor([&] { return returned.load(); }, 2000, false));
    waiter.join();
    // Whatever opens next gets another value; the old one reaches nothing.
    HANDLE file = CreateFile(L"\\f", GENERIC_READ | GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0x80, 0);
    HANDLE again = OpenCom1();
    EXPECT_NE(file, h);
    EXPECT_NE(again, h);
    DWORD n = 0;
    char b;
    EXPECT_FALSE(ReadFile(h, &b, 1, &n, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetCommMask(h, EV_RXCHAR));
    CloseHandle(file);
    CloseHandle(again);
}

// ---- The byte queue ----

TEST(ByteQueue, EmptyFullWrapAndCount) {
    static ByteQueue q;
    Clear(&q);
    BYTE b = 0x55;
    EXPECT_EQ(Count(&q), 0);
    EXPECT_EQ(Pop(&q, &b), 0);
    EXPECT_EQ(b, 0x55) << "an empty Pop leaves the place alone";
    for (int i = 0; i < BYTE_QUEUE_CAPACITY; ++i) ASSERT_EQ(Push(&q, (BYTE)i), 1) << i;
    EXPECT_EQ(Push(&q, 0xEE), 0);
    EXPECT_EQ(Count(&q), BYTE_QUEUE_CAPACITY);
    EXPECT_EQ(Pop(&q, &b), 1);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(Push(&q, 0xEE), 1) << "room again after one Pop";
    for (int i = 1; i < BYTE_QUEUE_CAPACITY; ++i) {
        ASSERT_EQ(Pop(&q, &b), 1);
        ASSERT_EQ(b, (BYTE)i);
    }
    ASSERT_EQ(Pop(&q, &b), 1);
    EXPECT_EQ(b, 0xEE) << "the byte pushed at the last slot comes out after the wrap";
    EXPECT_EQ(Count(&q), 0);

    struct { LONG read, write; int count; } counts[] = {
        {4000, 10, 202}, {0, 0, 0}, {10, 9, 4191}, {4191, 0, 1}, {0, 4191, 4191}};
    for (auto& c : counts) {
        q.m_nRead = c.read;
        q.m_nWrite = c.write;
        EXPECT_EQ(Count(&q), c.count) << c.read << "/" << c.write;
    }

    // The batch forms: all or nothing in, as much as there is out, across
    // the wrap.
    Clear(&q);
    q.m_nRead = q.m_nWrite = BYTE_QUEUE_SLOTS - 3;
    BYTE in[BYTE_QUEUE_SLOTS], out[BYTE_QUEUE_SLOTS];
    for (int i = 0; i < BYTE_QUEUE_SLOTS; ++i) in[i] = (BYTE)(i * 13);
    EXPECT_EQ(PushAll(&q, in, BYTE_QUEUE_CAPACITY + 1), 0);
    EXPECT_EQ(Count(&q), 0) << "a batch that does not fit stores nothing";
    ASSERT_EQ(PushAll(&q, in, 10), 1);
    EXPECT_EQ(PushAll(&q, in, BYTE_QUEUE_CAPACITY - 9), 0);
    EXPECT_EQ(PopSome(&q, out, 4), 4);
    EXPECT_EQ(PopSome(&q, out + 4, 100), 6) << "as much as there is";
    EXPECT_EQ(std::string((char*)out, 10), std::string((char*)in, 10));
    EXPECT_EQ(PopSome(&q, out, 100), 0);
}

TEST(ByteQueue, TwoThreadsMoveTensOfMegabytesInOrder) {
    static ByteQueue q;
    Clear(&q);
    const long kBytes = 32L * 1024 * 1024;
    // Single bytes and batches of every size up to 300, on both sides.
    std::thread producer([] {
        BYTE chunk[300];
        for (long i = 0; i < kBytes;) {
            int n = (int)std::min<long>(1 + i % 300, kBytes - i);
            if (n == 1) {
                if (Push(&q, (BYTE)(i * 7 + (i >> 13)))) ++i;
                continue;
            }
            for (int k = 0; k < n; ++k) chunk[k] = (BYTE)((i + k) * 7 + ((i + k) >> 13));
            if (PushAll(&q, chunk, n)) i += n;
        }
    });
    long bad = -1;
    BYTE got[257];
    for (long i = 0; i < kBytes;) {
        int n = (i & 1) ? PopSome(&q, got, 1 + (int)(i % 257)) : Pop(&q, got);
        for (int k = 0; k < n; ++k, ++i)
            if (got[k] != (BYTE)(i * 7 + (i >> 13)) && bad < 0) bad = i;
    }
    producer.join();
    EXPECT_EQ(bad, -1) << "first byte out of order";
    EXPECT_EQ(Count(&q), 0);
}

// ---- The serial port and the reader thread ----

class SerialPortTest : public ::testing::Test {
protected:
    TempRoot root;
    Pty pty;
};

TEST_F(SerialPortTest, OpenConfiguresTheLineAndHandsTheHandleOver) {
    ASSERT_EQ(Open(&g_SerialPort, L"COM1:", 9600, 8, ONESTOPBIT, NOPARITY), 1);
    HANDLE h = PlatformLoadHandle(&g_SerialPort.m_hPort);
    EXPECT_EQ(UbxState.m_hPort, h);
    EXPECT_NE(PlatformLoadHandle(&g_SerialPort.m_hThread), nullptr);
    COMMTIMEOUTS to = {};
    GetCommTimeouts(h, &to);
    EXPECT_EQ(to.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(to.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(to.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(to.WriteTotalTimeoutMultiplier, 2u);
    EXPECT_EQ(to.WriteTotalTimeoutConstant, 0u);
    termios t = SlaveSettings(pty);
    EXPECT_EQ(cfgetispeed(&t), (speed_t)B9600);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), (tcflag_t)CS8);
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO));
    Close(&g_SerialPort);
    EXPECT_EQ(PlatformLoadHandle(&g_SerialPort.m_hPort), nullptr);
    EXPECT_EQ(UbxState.m_hPort, nullptr);
    EXPECT_FALSE(Close(&g_SerialPort)) << "a second Close acts on nothing";
}

TEST_F(SerialPortTest, WriteMultiplierFollowsTheBaudRate) {
    struct { DWORD baud; DWORD multiplier; } rows[] = {{4800, 4}, {9600, 2}, {19200, 1}, {115200, 0}};
    for (auto& r : rows) {
        ASSERT_EQ(Open(&g_SerialPort, L"COM1:", r.baud, 8, ONESTOPBIT, NOPARITY), 1) << r.baud;
        COMMTIMEOUTS to = {};
        GetCommTimeouts(PlatformLoadHandle(&g_SerialPort.m_hPort), &to);
        EXPECT_EQ(to.WriteTotalTimeoutMultiplier, r.multiplier) << r.baud;
        Close(&g_SerialPort);
        ASSERT_TRUE(WaitFor([] { return PlatformLoadHandle(&g_SerialPort.m_hThread) == nullptr; }, 2000));
    }
}

TEST_F(SerialPortTest, AMissingDeviceLogsTwoLinesPostsOneCloseAndStartsNothing) {
    setenv("KESTA_GPS_COM1", "/nonexistent/tty", 1);
    g_hMainWnd = MakeRecorder();
    Recorded().clear();
    StderrCapture cap;
    EXPECT_EQ(Open(&g_SerialPort, L"COM1:", 9600, 8, ONESTOPBIT, NOPARITY), 0);
    Pump();
    // The service's two lines, and between them the platform's own, naming
    // the device and the reason.
    EXPECT_EQ(cap.Text(), "m_sPortName --- > COM1: \r\n"
                          "platform: cannot open the serial device /nonexistent/tty: No such file or directory\n"
                          "m_sPortName --- > COM1: Failed !!\r\n");
    EXPECT_EQ(RecordedOf(WM_CLOSE).size(), 1u);
    EXPECT_EQ(PlatformLoadHandle(&g_SerialPort.m_hThread), nullptr);
    EXPECT_EQ(UbxState.m_hPort, nullptr);
    EXPECT_EQ(PlatformLoadHandle(&g_SerialPort.m_hPort), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Close(&g_SerialPort));
}

TEST_F(SerialPortTest, ReadTakesAtMostTheChunkAndLeavesTheRestForNextTime) {
    HANDLE h = OpenCom1();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    PlatformStoreHandle(&g_SerialPort.m_hPort, h);
    COMMTIMEOUTS to = {MAXDWORD, 0, 0, 2, 0};
    SetCommTimeouts(h, &to);
    static BYTE buffer[SERIAL_READ_CHUNK];
    EXPECT_EQ(Read(&g_SerialPort, buffer, SERIAL_READ_CHUNK), 0u) << "nothing waiting";
    std::string data;
    for (int i = 0; i < 5000; ++i) data += (char)(i % 251);
    pty.Write(data);
    // The line's own buffer holds about 4 KiB; the rest follows as it drains.
    std::string got;
    DWORD largest = 0;
    ASSERT_TRUE(WaitFor([&] {
        DWORD n = Read(&g_SerialPort, buffer, SERIAL_READ_CHUNK);
        largest = std::max(largest, n);
        got.append((char*)buffer, n);
        return got.size() >= data.size();
    }, 3000, false)) << got.size() << " of " << data.size();
    EXPECT_EQ(largest, (DWORD)SERIAL_READ_CHUNK);
    EXPECT_EQ(got, data);
    CloseHandle(h);
}

TEST_F(SerialPortTest, CloseRightAfterOpenWakesTheReaderWhichEndsWithinOnePass) {
    ASSERT_EQ(Open(&g_SerialPort, L"COM1:", 9600, 8, ONESTOPBIT, NOPARITY), 1);
    HANDLE thread = PlatformLoadHandle(&g_SerialPort.m_hThread);
    Sleep(50);  // let it reach its wait
    DWORD start = GetTickCount();
    Close(&g_SerialPort);
    ASSERT_EQ(WaitForSingleObject(thread, 2000), WAIT_OBJECT_0);
    EXPECT_LT(GetTickCount() - start, 600u) << "one pause, not a second pass";
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, 1u);
    EXPECT_EQ(PlatformLoadHandle(&g_SerialPort.m_hThread), nullptr);
}

TEST_F(SerialPortTest, EachBurstPostsDataReadAndTheBroadcastFromTheLastDecodedFix) {
    HWND top = MakeRecorder();
    ASSERT_NE(top, nullptr);
    DataReadSink.m_hWnd = MakeRecorder(top);
    Recorded().clear();
    ASSERT_EQ(Open(&g_SerialPort, L"COM1:", 9600, 8, ONESTOPBIT, NOPARITY), 1);
    pty.Write("first");
    ASSERT_TRUE(WaitFor([] { return RecordedOf(KESTA_GPS_MSG).size() >= 1; }));
    ASSERT_EQ(RecordedOf(DATA_READ).size(), 1u);
    EXPECT_EQ(RecordedOf(DATA_READ)[0].hwnd, DataReadSink.m_hWnd);
    MSG b = RecordedOf(KESTA_GPS_MSG)[0];
    EXPECT_EQ(b.hwnd, top) << "to top-level windows, not to the sink";
    EXPECT_EQ(b.wParam, 0u) << "before any sentence";
    EXPECT_EQ(b.lParam, 0);
    EXPECT_EQ(Count(&g_SerialPort.m_QueueRead), 5);

    ParseRMC("081836,A,3751.65,S,14507.36,E,10.0,360.0,,011.3,E");
    pty.Write("second");
    ASSERT_TRUE(WaitFor([] { return RecordedOf(KESTA_GPS_MSG).size() >= 2; }));
    EXPECT_EQ(RecordedOf(KESTA_GPS_MSG)[1].wParam, 18u);
    EXPECT_EQ(RecordedOf(KESTA_GPS_MSG)[1].lParam, 1);

    // Any status but 'V' counts as a valid fix.
    ParseRMC("081837,X,3751.65,S,14507.36,E,20.0,360.0,,011.3,E");
    pty.Write("third");
    ASSERT_TRUE(WaitFor([] { return RecordedOf(KESTA_GPS_MSG).size() >= 3; }));
    EXPECT_EQ(RecordedOf(KESTA_GPS_MSG)[2].wParam, 37u);
    EXPECT_EQ(RecordedOf(KESTA_GPS_MSG)[2].lParam, 1);

    ParseRMC("081838,V,3751.65,S,14507.36,E,10.0,360.0,,011.3,E");
    SinkClosed(&DataReadSink);  // no DATA_READ once the sink is gone
    pty.Write("fourth");
    ASSERT_TRUE(WaitFor([] { return RecordedOf(KESTA_GPS_MSG).size() >= 4; }));
    EXPECT_EQ(RecordedOf(KESTA_GPS_MSG)[3].wParam, 18u);
    EXPECT_EQ(RecordedOf(KESTA_GPS_MSG)[3].lParam, 0);
    EXPECT_EQ(RecordedOf(DATA_READ).size(), 3u);
    Close(&g_SerialPort);
}

TEST_F(SerialPortTest, AChunkThatDoesNotFitIsDroppedWholeWithOneLine) {
    // 4000 bytes already queued: 191 more fit (4191), 192 do not.
    for (int i = 0; i < 4000; ++i) Push(&g_SerialPort.m_QueueRead, 'q');
    DataReadSink.m_hWnd = MakeRecorder(MakeRecorder());
    Recorded().clear();
    StderrCapture cap;
    ASSERT_EQ(Open(&g_SerialPort, L"COM1:", 9600, 8, ONESTOPBIT, NOPARITY), 1);
    pty.Write(std::string(192, 'x'));
    ASSERT_TRUE(WaitFor([&] { return cap.Text().find("FULL") != std::string::npos; }, 3000, false));
    // Nothing was stored, and the pass still tells the main thread.
    ASSERT_TRUE(WaitFor([] { return RecordedOf(DATA_READ).size() == 1 && RecordedOf(KESTA_GPS_MSG).size() == 1; }));
    EXPECT_EQ(Count(&g_SerialPort.m_QueueRead), 4000);
    pty.Write(std::string(191, 'y'));
    ASSERT_TRUE(WaitFor([] { return Count(&g_SerialPort.m_QueueRead) == 4191; }, 3000, false));
    Close(&g_SerialPort);
    EXPECT_EQ(CountOf(cap.Text(), Tagged(31, "m_QueueRead FULL")), 1u) << "once, for the one dropped chunk";
}

// A pass whose wait ended without received characters posts nothing: after
// Close cleared the mask, and after the receiver hung up.
TEST_F(SerialPortTest, APassWithoutReceivedCharactersPostsNothing) {
    for (bool hangUp : {false, true}) {
        Pty line;  // a fresh line for each case
        DataReadSink.m_hWnd = MakeRecorder(MakeRecorder());
        Recorded().clear();
        ASSERT_EQ(Open(&g_SerialPort, L"COM1:", 9600, 8, ONESTOPBIT, NOPARITY), 1);
        HANDLE thread = PlatformLoadHandle(&g_SerialPort.m_hThread);
        Sleep(50);  // let it reach its wait
        if (hangUp) {
            line.CloseMaster();
            Sleep(1000);  // five passes' worth
        }
        Close(&g_SerialPort);
        ASSERT_EQ(WaitForSingleObject(thread, 3000), WAIT_OBJECT_0);
        Pump();
        EXPECT_TRUE(RecordedOf(DATA_READ).empty()) << (hangUp ? "after a hang-up" : "after Close");
        EXPECT_TRUE(RecordedOf(KESTA_GPS_MSG).empty()) << (hangUp ? "after a hang-up" : "after Close");
    }
}

TEST_F(SerialPortTest, OpenKeepsTheFlowControlTheDriverReports) {
    termios t = SlaveSettings(pty);
    t.c_cflag |= CRTSCTS;
    ASSERT_EQ(tcsetattr(pty.master(), TCSANOW, &t), 0);
    ASSERT_EQ(Open(&g_SerialPort, L"COM1:", 9600, 8, ONESTOPBIT, NOPARITY), 1);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    GetCommState(PlatformLoadHandle(&g_SerialPort.m_hPort), &dcb);
    EXPECT_TRUE(dcb.fOutxCtsFlow) << "read before the four line settings were written";
    termios after = SlaveSettings(pty);
    EXPECT_TRUE(after.c_cflag & CRTSCTS);
    EXPECT_EQ(cfgetospeed(&after), (speed_t)B9600);
    Close(&g_SerialPort);
}

// A port that refuses the event mask while it is still open: the thread
// ends at once with 0 and leaves its handle for the owner to see.
TEST_F(SerialPortTest, ARefusedMaskOnAnOpenPortEndsTheThreadWithZero) {
    HANDLE notAPort = CreateEvent(0, TRUE, FALSE, 0);
    HANDLE marker = CreateEvent(0, TRUE, FALSE, 0);
    PlatformStoreHandle(&g_SerialPort.m_hPort, notAPort);
    PlatformStoreHandle(&g_SerialPort.m_hThread, marker);
    PlatformStoreRelease(&g_SerialPort.m_bRunning, 1);
    EXPECT_EQ(GPSThread(&g_SerialPort), 0u);
    EXPECT_EQ(PlatformLoadHandle(&g_SerialPort.m_hThread), marker);
    // With the port already closed, the same refusal is a normal end.
    PlatformStoreRelease(&g_SerialPort.m_bRunning, 0);
    EXPECT_EQ(GPSThread(&g_SerialPort), 1u);
    EXPECT_EQ(PlatformLoadHandle(&g_SerialPort.m_hThread), nullptr);
    PlatformStoreHandle(&g_SerialPort.m_hPort, 0);
    CloseHandle(notAPort);
    CloseHandle(marker);
}

TEST(Broadcast, SpeedConvertsToWholeKmhAndSaturates) {
    const double inf = std::numeric_limits<double>::infinity();
    struct { double knots; DWORD kmh; } rows[] = {
        {10.0, 18}, {0.0, 0}, {0.5, 0}, {1.0, 1}, {-5.0, 0}, {-0.1, 0},
        {1e300, BROADCAST_SPEED_MAX}, {inf, BROADCAST_SPEED_MAX}, {-inf, 0},
        {std::nan(""), 0}, {1000.0, 1852}, {2e9, 3704000000u}, {2.4e9, BROADCAST_SPEED_MAX},
    };
    for (auto& r : rows) EXPECT_EQ(KmhFromKnots(r.knots), r.kmh) << r.knots;
}

TEST(Broadcast, StatusAndSpeedAreReadAsOnePair) {
    // The main thread alternates two sentences; the reader must never see
    // the status of one with the speed of the other.
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            char status;
            double speed;
            GetFixSnapshot(&status, &speed);
            if (status == 'A') {
                ASSERT_EQ(speed, 11.0);
            } else if (status == 'X') {
                ASSERT_EQ(speed, 22.0);
            }
        }
    });
    for (int i = 0; i < 20000; ++i) ParseRMC(i % 2 ? ",A,,,,,11.0" : ",X,,,,,22.0");
    stop = true;
    reader.join();
}

TEST_F(SerialPortTest, TheReaderDoesNotSpinWhenTheDeviceGoesAway) {
    ASSERT_EQ(Open(&g_SerialPort, L"COM1:", 9600, 8, ONESTOPBIT, NOPARITY), 1);
    pty.CloseMaster();
    Sleep(300);
    double before = CpuSeconds();
    Sleep(2000);
    double used = CpuSeconds() - before;
    EXPECT_LT(used, 0.1) << "CPU seconds in 2 s with the device gone";
    Close(&g_SerialPort);
}
