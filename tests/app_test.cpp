// The application shell in-process: the debug log's bytes, the line-setting
// lookups and the main window's creation, close and destroy steps.
#include "app/app_main.h"
#include "app/debug_log.h"
#include "app/main_window.h"
#include "nmea/data_read_sink.h"
#include "serial/serial_port.h"
#include "support.h"
#include "ubx/ubx_sink.h"

#include <gtest/gtest.h>

using namespace test;

TEST(DebugLog, WritesTheTaggedLineByteForByte) {
    StderrCapture cap;
    DebugLog(LOG_RED, L"m_QueueRead FULL");
    DebugLog(LOG_GREEN, L"");
    DebugLog(LOG_GREEN, L"GPS S/W Ver.%S", "1.00 (59842)");
    DebugLog(LOG_RED, L"WindowText(%s) \r\n", L"UBLOXMSG");
    EXPECT_EQ(cap.Text(),
              "\x1b[31m [KESTA_GPS] m_QueueRead FULL \x1b[0m\r\n"
              "\x1b[32m [KESTA_GPS]  \x1b[0m\r\n"
              "\x1b[32m [KESTA_GPS] GPS S/W Ver.1.00 (59842) \x1b[0m\r\n"
              "\x1b[31m [KESTA_GPS] WindowText(UBLOXMSG) \r\n \x1b[0m\r\n");
}

TEST(DebugLog, CutsALongTextAt511CharactersAndStillEndsTheLine) {
    StderrCapture cap;
    std::wstring text(600, L'x');
    DebugLog(LOG_GREEN, L"%s", text.c_str());
    EXPECT_EQ(cap.Text(), Tagged(32, std::string(511, 'x')));
}

TEST(Lookups, LineSettingTables) {
    struct { DWORD index; DWORD baud; BYTE size; const wchar_t* port; } rows[] = {
        {0, 4800, 5, L""},       {1, 9600, 6, L"COM1:"}, {2, 14400, 7, L"COM2:"},
        {3, 19200, 8, L"COM3:"}, {7, 115200, 0, L"COM7:"}, {9, 0, 0, L"COM9:"},
        {10, 0, 0, L""},
    };
    for (auto& r : rows) {
        EXPECT_EQ(GetBaudRate(r.index), r.baud) << r.index;
        EXPECT_EQ(GetByteSize(r.index), r.size) << r.index;
        WCHAR name[PORT_NAME_CHARS];
        GetPortName(r.index, name, PORT_NAME_CHARS);
        EXPECT_EQ(std::wstring(name), r.port) << r.index;
    }
}

class MainWindowTest : public ::testing::Test {
protected:
    TempRoot root;
    Pty pty;
};

TEST_F(MainWindowTest, CreationBuildsSinksOpensThePortAndLogsInOrder) {
    StderrCapture cap;
    ASSERT_EQ(InitMainWindow(GetModuleHandle(0), SW_SHOW), 1);
    ASSERT_NE(g_hMainWnd, nullptr);
    EXPECT_NE(SinkWindow(&UbxSink), nullptr);
    EXPECT_NE(SinkWindow(&DataReadSink), nullptr);
    EXPECT_NE(PlatformLoadHandle(&g_SerialPort.m_hPort), nullptr);
    EXPECT_EQ(UbxState.m_hPort, PlatformLoadHandle(&g_SerialPort.m_hPort));
    EXPECT_EQ(FindWindow(L"KESTA_GPS", L"KESTA_GPS"), g_hMainWnd);
    EXPECT_EQ(cap.Text(), Tagged(31, "WindowText(UBLOXMSG) \r\n") + Tagged(31, "WindowText(READGPSDATAMSG) \r\n") +
                              "m_sPortName --- > COM1: \r\nGPSThread START !! \r\n");
    Close(&g_SerialPort);
}

TEST_F(MainWindowTest, CloseTakesDownSinksAndPortButKeepsTheWindow) {
    ASSERT_EQ(InitMainWindow(GetModuleHandle(0), SW_SHOW), 1);
    HWND ubx = SinkWindow(&UbxSink), dataRead = SinkWindow(&DataReadSink);
    PostMessage(g_hMainWnd, WM_CLOSE, 0, 0);
    Pump();
    EXPECT_EQ(SinkWindow(&UbxSink), nullptr);
    EXPECT_EQ(SinkWindow(&DataReadSink), nullptr);
    EXPECT_FALSE(IsWindow(ubx));
    EXPECT_FALSE(IsWindow(dataRead));
    EXPECT_EQ(PlatformLoadHandle(&g_SerialPort.m_hPort), nullptr);
    EXPECT_EQ(UbxState.m_hPort, nullptr);
    EXPECT_TRUE(IsWindow(g_hMainWnd));
    // The reader thread ends by itself within its pass.
    EXPECT_TRUE(WaitFor([] { return PlatformLoadHandle(&g_SerialPort.m_hThread) == nullptr; }, 2000));
    // Close then destroy: Close runs twice without harm; quit with 0.
    DestroyWindow(g_hMainWnd);
    MSG msg;
    ASSERT_TRUE(PeekMessage(&msg, 0, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, (UINT)WM_QUIT);
    EXPECT_EQ(msg.wParam, 0u);
}

TEST_F(MainWindowTest, CloseAfterTheUbxSinkClosedItselfStillClosesTheRest) {
    ASSERT_EQ(InitMainWindow(GetModuleHandle(0), SW_SHOW), 1);
    PostMessage(SinkWindow(&UbxSink), WM_CLOSE, 0, 0);
    Pump();
    ASSERT_EQ(SinkWindow(&UbxSink), nullptr);
    PostMessage(g_hMainWnd, WM_CLOSE, 0, 0);
    Pump();
    EXPECT_EQ(SinkWindow(&DataReadSink), nullptr);
    EXPECT_EQ(PlatformLoadHandle(&g_SerialPort.m_hPort), nullptr);
    // Nothing was posted to window 0: the queue is empty.
    MSG msg;
    EXPECT_FALSE(PeekMessage(&msg, 0, 0, 0, PM_REMOVE));
}

TEST(MainClass, RegistersTheClassRecordAndRefusesTwice) {
    TempRoot root;
    EXPECT_NE(RegisterMainClass(GetModuleHandle(0), L"KESTA_GPS"), 0);
    EXPECT_EQ(RegisterMainClass(GetModuleHandle(0), L"KESTA_GPS"), 0);
    // A second InitMainWindow cannot register again and reports failure.
    EXPECT_EQ(InitMainWindow(GetModuleHandle(0), SW_SHOW), 0);
}
