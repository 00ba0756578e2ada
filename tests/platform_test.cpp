// Contract tests of the platform layer: what the service relies on from
// messages, windows, named mutexes, the clock, formatting, files and NAND.
#include "app/platform/platform.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <cstdio>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace test;

namespace {

std::string Format(const wchar_t* fmt, ...) {
    wchar_t buf[256];
    va_list ap;
    va_start(ap, fmt);
    StringCchVPrintf(buf, 256, fmt, ap);
    va_end(ap);
    std::string out;
    for (wchar_t* p = buf; *p; ++p) out += (char)*p;
    return out;
}

}  // namespace

TEST(PlatformMessages, PostsFromSeveralThreadsKeepEachPostersOrder) {
    TempRoot root;
    HWND hwnd = MakeRecorder();
    ASSERT_NE(hwnd, nullptr);
    const int kThreads = 4, kEach = 2000;  // within one queue's 10000
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([=] {
            for (int i = 0; i < kEach; ++i) ASSERT_TRUE(PostMessage(hwnd, WM_USER + t, i, 0));
        });
    for (auto& th : threads) th.join();
    Recorded().clear();
    Pump();
    std::vector<long> next(kThreads, 0);
    size_t count = 0;
    for (const MSG& m : Recorded()) {
        if (m.message < WM_USER || m.message >= WM_USER + kThreads) continue;
        int t = m.message - WM_USER;
        ASSERT_EQ((long)m.wParam, next[t]) << "poster " << t;
        ++next[t];
        ++count;
    }
    EXPECT_EQ(count, (size_t)kThreads * kEach);
}

TEST(PlatformMessages, GetMessageTakesPostedMessagesBeforeQuitAndReturnsZeroOnQuit) {
    TempRoot root;
    HWND hwnd = MakeRecorder();
    PostMessage(hwnd, WM_USER, 1, 0);
    PostQuitMessage(7);
    PostMessage(hwnd, WM_USER, 2, 0);
    MSG msg;
    ASSERT_TRUE(GetMessage(&msg, 0, 0, 0));
    EXPECT_EQ(msg.wParam, 1u);
    ASSERT_TRUE(GetMessage(&msg, 0, 0, 0));
    EXPECT_EQ(msg.wParam, 2u);
    EXPECT_FALSE(GetMessage(&msg, 0, 0, 0));
    EXPECT_EQ(msg.message, (UINT)WM_QUIT);
    EXPECT_EQ(msg.wParam, 7u);
    // Taking WM_QUIT ends the loop however it was posted; PeekMessage hands
    // it over like any other message.
    PostMessage(hwnd, WM_QUIT, 3, 0);
    PostMessage(hwnd, WM_QUIT, 4, 0);
    ASSERT_TRUE(PeekMessage(&msg, 0, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 3u);
    EXPECT_FALSE(GetMessage(&msg, 0, 0, 0));
    EXPECT_EQ(msg.message, (UINT)WM_QUIT);
    EXPECT_EQ(msg.wParam, 4u);
}

TEST(PlatformMessages, GetMessageBlocksUntilAnotherThreadPosts) {
    TempRoot root;
    HWND hwnd = MakeRecorder();
    std::thread poster([hwnd] {
        Sleep(50);
        PostMessage(hwnd, WM_USER, 42, 0);
    });
    MSG msg;
    DWORD start = GetTickCount();
    ASSERT_TRUE(GetMessage(&msg, 0, 0, 0));
    EXPECT_EQ(msg.wParam, 42u);
    EXPECT_GE(GetTickCount() - start, 40u);
    poster.join();
}

TEST(PlatformMessages, PostToZeroOrToADestroyedWindowReachesNothing) {
    TempRoot root;
    HWND hwnd = MakeRecorder();
    EXPECT_FALSE(PostMessage(0, WM_USER, 0, 0));
    ASSERT_TRUE(DestroyWindow(hwnd));
    EXPECT_FALSE(PostMessage(hwnd, WM_USER, 0, 0));
    MSG msg;
    EXPECT_FALSE(PeekMessage(&msg, 0, 0, 0, PM_REMOVE));
}

TEST(PlatformMessages, RegisteredNumbersAreInRangeStableAndEqualInAnotherProcess) {
    TempRoot root;
    const wchar_t* names[] = {L"KESTA_GPS", L"DATA_READ", L"UBLOXPARSINGMSG", L"X"};
    std::string expected;
    std::vector<UINT> seen;
    for (const wchar_t* n : names) {
        UINT m = RegisterWindowMessage(n);
        EXPECT_GE(m, 0xC000u);
        EXPECT_LE(m, 0xFFFFu);
        EXPECT_EQ(RegisterWindowMessage(n), m);
        for (UINT s : seen) EXPECT_NE(s, m);
        seen.push_back(m);
        expected += std::to_string(m) + "\n";
    }
    // Another process registering the names in another order.
    Process helper({Program("kesta-test-helper"), "regmsg", "UBLOXPARSINGMSG", "X", "KESTA_GPS", "DATA_READ"});
    ASSERT_EQ(helper.Wait(30000), 0);
    std::string out = helper.Out();
    EXPECT_EQ(out, std::to_string(seen[2]) + "\n" + std::to_string(seen[3]) + "\n" +
                       std::to_string(seen[0]) + "\n" + std::to_string(seen[1]) + "\n");
}

TEST(PlatformMessages, CollidingNamesGetDistinctNumbers) {
    TempRoot root;
    // Enough names that some meet on one hash value among 16384.
    std::vector<UINT> numbers;
    for (int i = 0; i < 3000; ++i) {
        std::wstring name = L"name" + std::to_wstring(i);
        numbers.push_back(RegisterWindowMessage(name.c_str()));
    }
    std::sort(numbers.begin(), numbers.end());
    EXPECT_EQ(std::adjacent_find(numbers.begin(), numbers.end()), numbers.end());
}

TEST(PlatformWindows, CreationDeliversCreateBeforeReturningAndDestroyDeliversDestroy) {
    TempRoot root;
    Recorded().clear();
    HWND hwnd = MakeRecorder();
    ASSERT_NE(hwnd, nullptr);
    ASSERT_EQ(Recorded().size(), 1u);
    EXPECT_EQ(Recorded()[0].message, (UINT)WM_CREATE);
    EXPECT_EQ(Recorded()[0].hwnd, hwnd);
    EXPECT_TRUE(DestroyWindow(hwnd));
    ASSERT_EQ(Recorded().size(), 2u);
    EXPECT_EQ(Recorded()[1].message, (UINT)WM_DESTROY);
    EXPECT_FALSE(IsWindow(hwnd));
}

TEST(PlatformWindows, CreationFailsWithZeroForUnknownClassOrParent) {
    TempRoot root;
    EXPECT_EQ(CreateWindowEx(0, L"NOPE", L"t", 0, 0, 0, 0, 0, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(CreateWindowEx(0, L"static", L"t", WS_CHILD, 0, 0, 0, 0, (HWND)(ULONG_PTR)0x1234, 0, 0, 0),
              nullptr);
}

namespace {
std::vector<std::string> g_chain;
WNDPROC g_previous;
LRESULT CALLBACK Subclass(HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
    g_chain.push_back("sub:" + std::to_string(msg));
    return CallWindowProc(g_previous, hwnd, msg, w, l);
}
}  // namespace

TEST(PlatformWindows, StaticChildSubclassChainAndCloseDestroysIt) {
    TempRoot root;
    HWND parent = MakeRecorder();
    HWND child = CreateWindowEx(0, L"static", L"CHILD", WS_CHILD | WS_VISIBLE | WS_CAPTION, 0, 0, 0, 0,
                                parent, 0, 0, 0);
    ASSERT_NE(child, nullptr);
    wchar_t text[4];
    EXPECT_EQ(GetWindowText(child, text, 4), 3);  // bounded: "CHI"
    EXPECT_EQ(std::wstring(text), L"CHI");
    g_previous = (WNDPROC)SetWindowLongPtr(child, GWL_WNDPROC, (LONG_PTR)Subclass);
    ASSERT_NE(g_previous, nullptr);
    EXPECT_EQ((WNDPROC)GetWindowLongPtr(child, GWL_WNDPROC), Subclass);
    PostMessage(child, WM_USER, 0, 0);
    PostMessage(child, WM_CLOSE, 0, 0);
    Pump();
    EXPECT_EQ(g_chain, (std::vector<std::string>{"sub:1024", "sub:16", "sub:2"}));
    EXPECT_FALSE(IsWindow(child));
    EXPECT_TRUE(IsWindow(parent));
}

TEST(PlatformWindows, BroadcastReachesTopLevelWindowsOnly) {
    TempRoot root;
    HWND a = MakeRecorder();
    HWND b = MakeRecorder();
    HWND child = MakeRecorder(a);
    ASSERT_NE(child, nullptr);
    UINT m = RegisterWindowMessage(L"KESTA_GPS");
    Recorded().clear();
    EXPECT_TRUE(PostMessage(HWND_BROADCAST, m, 18, 1));
    Pump();
    std::vector<HWND> got;
    for (const MSG& s : Recorded())
        if (s.message == m && s.wParam == 18 && s.lParam == 1) got.push_back(s.hwnd);
    std::sort(got.begin(), got.end());
    std::vector<HWND> want = {a, b};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
}

TEST(PlatformMutex, NameHeldByAnotherProcessReportsAlreadyExistsUntilItDiesEvenBySigkill) {
    TempRoot root;
    Process helper({Program("kesta-test-helper"), "mutex", "KESTA_GPS"});
    ASSERT_TRUE(WaitFor([&] { return helper.Out() == "1 0\n"; }, 5000, false)) << "the helper was first";
    HANDLE h = CreateMutex(nullptr, FALSE, L"KESTA_GPS");
    EXPECT_NE(h, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    CloseHandle(h);
    HANDLE other = CreateMutex(nullptr, FALSE, L"OTHER");
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    CloseHandle(other);
    helper.Signal(SIGKILL);
    helper.Wait(5000);
    EXPECT_TRUE(WaitFor([] {
        HANDLE again = CreateMutex(nullptr, FALSE, L"KESTA_GPS");
        bool free = GetLastError() == ERROR_SUCCESS;
        CloseHandle(again);
        return free;
    }, 5000, false));
}

TEST(PlatformMutex, NamesAreScopedToThePlatformRoot) {
    TempRoot first;
    HANDLE a = CreateMutex(nullptr, FALSE, L"KESTA_GPS");
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    HANDLE b = CreateMutex(nullptr, FALSE, L"KESTA_GPS");
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    TempRoot second;
    HANDLE c = CreateMutex(nullptr, FALSE, L"KESTA_GPS");
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    CloseHandle(a);
    CloseHandle(b);
    CloseHandle(c);
}

TEST(PlatformClock, SetSystemTimeValidatesLikeWindows) {
    TempRoot root;
    struct Case {
        const char* legend;
        SYSTEMTIME t;
        bool ok;
    } cases[] = {
        {"ordinary", {2024, 3, 0, 15, 10, 20, 30, 0}, true},
        {"first year", {1601, 1, 0, 1, 0, 0, 0, 0}, true},
        {"last year", {30827, 12, 0, 31, 23, 59, 59, 999}, true},
        {"year 1600", {1600, 12, 0, 31, 0, 0, 0, 0}, false},
        {"year 30828", {30828, 1, 0, 1, 0, 0, 0, 0}, false},
        {"month 0", {2024, 0, 0, 1, 0, 0, 0, 0}, false},
        {"month 13", {2024, 13, 0, 1, 0, 0, 0, 0}, false},
        {"day 0", {2024, 1, 0, 0, 0, 0, 0, 0}, false},
        {"29 Feb leap", {2024, 2, 0, 29, 0, 0, 0, 0}, true},
        {"29 Feb 2100", {2100, 2, 0, 29, 0, 0, 0, 0}, false},
        {"29 Feb 2000", {2000, 2, 0, 29, 0, 0, 0, 0}, true},
        {"31 Apr", {2024, 4, 0, 31, 0, 0, 0, 0}, false},
        {"hour 24", {2024, 1, 0, 1, 24, 0, 0, 0}, false},
        {"minute 60", {2024, 1, 0, 1, 0, 60, 0, 0}, false},
        {"second 60", {2024, 1, 0, 1, 0, 0, 60, 0}, false},
        {"ms 1000", {2024, 1, 0, 1, 0, 0, 0, 1000}, false},
        {"99:99", {2099, 1, 0, 1, 99, 99, 0, 0}, false},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(SetSystemTime(&c.t), c.ok ? TRUE : FALSE) << c.legend;
        if (!c.ok) {
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER) << c.legend;
        }
    }
}

TEST(PlatformClock, TimeReadAfterASetFollowsTheNewSetting) {
    TempRoot root;
    setenv("TZ", "UTC", 1);
    tzset();
    SYSTEMTIME set = {2031, 7, 0, 4, 12, 30, 15, 0};
    ASSERT_TRUE(SetSystemTime(&set));
    SYSTEMTIME utc, local;
    GetSystemTime(&utc);
    GetLocalTime(&local);
    for (SYSTEMTIME* t : {&utc, &local}) {
        EXPECT_EQ(t->wYear, 2031);
        EXPECT_EQ(t->wMonth, 7);
        EXPECT_EQ(t->wDay, 4);
        EXPECT_EQ(t->wDayOfWeek, 5);  // a Friday
        EXPECT_EQ(t->wHour, 12);
        EXPECT_EQ(t->wMinute, 30);
        EXPECT_LE(t->wSecond - 15, 2);
    }
    // A refused setting leaves the clock where it was.
    SYSTEMTIME bad = {2031, 2, 0, 30, 0, 0, 0, 0};
    EXPECT_FALSE(SetSystemTime(&bad));
    GetSystemTime(&utc);
    EXPECT_EQ(utc.wMonth, 7);
}

TEST(PlatformClock, LocalTimeFollowsTheTimeZone) {
    TempRoot root;
    setenv("TZ", "UTC-2", 1);  // two hours east of UTC
    tzset();
    SYSTEMTIME set = {2030, 12, 0, 31, 23, 0, 0, 0};
    ASSERT_TRUE(SetSystemTime(&set));
    SYSTEMTIME local;
    GetLocalTime(&local);
    EXPECT_EQ(local.wYear, 2031);
    EXPECT_EQ(local.wMonth, 1);
    EXPECT_EQ(local.wDay, 1);
    EXPECT_EQ(local.wHour, 1);
}

TEST(PlatformFormat, MicrosoftConventionsForTextAndNumbers) {
    const char narrow[] = "1.00 (59842)";
    EXPECT_EQ(Format(L"GPS S/W Ver.%S", narrow), "GPS S/W Ver.1.00 (59842)");
    EXPECT_EQ(Format(L"WindowText(%s) ", L"UBLOXMSG"), "WindowText(UBLOXMSG) ");
    EXPECT_EQ(Format(L"[ %c ]", (int)'A'), "[ A ]");
    EXPECT_EQ(Format(L"%C", (int)'z'), "z");
    EXPECT_EQ(Format(L"%hs|%ls", "n", L"w"), "n|w");
    EXPECT_EQ(Format(L"%4.4d-%2.2d-%2.2d %2.2d:%2.2d:%d", 2024, 3, 5, 7, 9, 852697508),
              "2024-03-05 07:09:852697508");
    EXPECT_EQ(Format(L"%4.4d-%2.2d", 65535, 255), "65535-255");
    EXPECT_EQ(Format(L"%d %u %x %X %5s|%-3S|", -5, 7u, 255, 255, L"ab", "c"), "-5 7 ff FF    ab|c  |");
    EXPECT_EQ(Format(L"100%%"), "100%");
    EXPECT_EQ(Format(L"%s", (const wchar_t*)nullptr), "(null)");
    wchar_t small[4];
    EXPECT_NE(StringCchPrintf(small, 4, L"%s", L"abcdef"), S_OK);
    EXPECT_EQ(std::wstring(small), L"abc");
}

TEST(PlatformFiles, DispositionsMissingFoldersDeleteAndReplacingMove) {
    TempRoot root;
    DWORD n = 0;
    // CREATE_ALWAYS creates, then truncates.
    HANDLE h = CreateFile(L"\\DataStorage\\f", GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(WriteFile(h, "hello", 5, &n, 0));
    EXPECT_EQ(n, 5u);
    CloseHandle(h);
    EXPECT_EQ(ReadFile(root.File("DataStorage/f")), "hello");
    h = CreateFile(L"\\DataStorage\\f", GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    CloseHandle(h);
    EXPECT_EQ(ReadFile(root.File("DataStorage/f")), "");
    // OPEN_EXISTING fails on a missing file; OPEN_ALWAYS creates it empty.
    EXPECT_EQ(CreateFile(L"\\nope", GENERIC_READ, 0, 0, OPEN_EXISTING, 0x80, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    h = CreateFile(L"\\new", GENERIC_READ, 0, 0, OPEN_ALWAYS, 0x80, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buf[4];
    EXPECT_TRUE(ReadFile(h, buf, 4, &n, 0));
    EXPECT_EQ(n, 0u);
    CloseHandle(h);
    EXPECT_TRUE(FileExists(root.File("new")));
    // A missing folder makes creation fail cleanly.
    EXPECT_EQ(CreateFile(L"\\Missing\\f", GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0x80, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    // A move never replaces its target; delete.
    h = CreateFile(L"\\DataStorage\\g", GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0x80, 0);
    WriteFile(h, "new", 3, &n, 0);
    CloseHandle(h);
    EXPECT_FALSE(MoveFile(L"\\DataStorage\\g", L"\\DataStorage\\f"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(DeleteFile(L"\\DataStorage\\f"));
    EXPECT_TRUE(MoveFile(L"\\DataStorage\\g", L"\\DataStorage\\f"));
    EXPECT_FALSE(FileExists(root.File("DataStorage/g")));
    EXPECT_EQ(ReadFile(root.File("DataStorage/f")), "new");
    EXPECT_TRUE(DeleteFile(L"\\DataStorage\\f"));
    EXPECT_FALSE(DeleteFile(L"\\DataStorage\\f"));
    // A closed handle stays dead: values are never reused.
    EXPECT_FALSE(CloseHandle(h));
}

TEST(PlatformNand, AreasStartBlankAndKeepWhatWasWritten) {
    TempRoot root;
    ASSERT_TRUE(ReadNandArea(4));
    std::string dump = ReadFile(root.File("NandArea_ReadData.bin"));
    ASSERT_GE(dump.size(), 12u);
    EXPECT_EQ(dump.substr(0, 12), std::string(12, '\xFF'));
    FILE* f = fopen(root.File("NandArea_WriteData.bin").c_str(), "wb");
    fwrite("\xA4\x21\xD3\x32" "abcdefgh", 1, 12, f);
    fclose(f);
    ASSERT_TRUE(WriteNandArea(4));
    ASSERT_TRUE(ReadNandArea(3));  // another area is untouched
    EXPECT_EQ(ReadFile(root.File("NandArea_ReadData.bin")).substr(0, 4), std::string(4, '\xFF'));
    ASSERT_TRUE(ReadNandArea(4));
    dump = ReadFile(root.File("NandArea_ReadData.bin"));
    EXPECT_EQ(dump.substr(0, 12), std::string("\xA4\x21\xD3\x32" "abcdefgh", 12));
    EXPECT_EQ(dump.substr(12, 4), std::string(4, '\xFF'));
    unlink(root.File("NandArea_WriteData.bin").c_str());
    EXPECT_FALSE(WriteNandArea(4));  // nothing to store
}

// Nobody depends on a debug line being written, so the debug print never
// waits for its output: lines wait in a bounded buffer, the overflow is
// dropped and counted, and the count is said once the output flows again.
TEST(PlatformDebugOutput, ABlockedOutputNeverBlocksThePrintAndTheLossIsSaid) {
    int fds[2];
    ASSERT_TRUE(MakeFullPipe(fds));
    fflush(stderr);
    int saved = dup(2);
    dup2(fds[1], 2);
    close(fds[1]);
    std::atomic<bool> done{false};
    std::thread printer([&] {
        // 200 KiB of lines against a 64 KiB buffer and a full pipe.
        for (int i = 0; i < 2000; ++i) NKDbgPrintfW(L"line %04d %s\r\n", i, std::wstring(90, L'x').c_str());
        done = true;
    });
    bool returned = WaitFor([&] { return done.load(); }, 30000, false);
    std::string text;
    bool said = ReadUntil(fds[0], &text, "debug lines dropped while the output was blocked", 30000);
    printer.join();
    dup2(saved, 2);
    close(saved);
    close(fds[0]);
    EXPECT_TRUE(returned) << "the print waited for its output";
    EXPECT_TRUE(said);
    // Whole lines, in order, the first ones kept.
    EXPECT_NE(text.find("line 0000 "), std::string::npos);
    int last = -1;
    for (size_t at = text.find("line "); at != std::string::npos; at = text.find("line ", at + 1)) {
        int n = atoi(text.c_str() + at + 5);
        EXPECT_GT(n, last) << "out of order";
        last = n;
        EXPECT_EQ(text.compare(at + 10, 90, std::string(90, 'x')), 0) << "a cut line";
    }
}

TEST(PlatformBroadcast, AStoppedOrDeadListenerNeverBlocksAndIsCleanedUp) {
    TempRoot root;
    Process listener({Program("kesta-gps-listen")});
    ASSERT_TRUE(WaitFor([&] { return listener.Err().find("listening") != std::string::npos; }, 5000, false));
    std::string socket = root.File(".platform/ipc/" + std::to_string(listener.pid()) + ".sock");
    ASSERT_TRUE(FileExists(socket));
    UINT m = RegisterWindowMessage(L"KESTA_GPS");
    listener.Signal(SIGSTOP);  // alive, but reading nothing: its queue fills
    // A post that waited for the stopped listener would never come back; the
    // deadline only has to tell "finished" from "stuck", on a busy machine.
    std::atomic<bool> done{false};
    std::thread poster([&] {
        for (int i = 0; i < 20000; ++i) PostMessage(HWND_BROADCAST, m, i, 1);
        done = true;
    });
    bool finished = WaitFor([&] { return done.load(); }, 60000, false);
    if (!finished) listener.Signal(SIGKILL);  // lets a stuck poster go
    poster.join();
    EXPECT_TRUE(finished) << "posting never waits for a listener";
    listener.Signal(SIGKILL);
    listener.Wait(5000);
    EXPECT_TRUE(FileExists(socket)) << "a killed process leaves its socket behind";
    PostMessage(HWND_BROADCAST, m, 0, 0);
    EXPECT_FALSE(FileExists(socket)) << "the next broadcast removes it";
    EXPECT_EQ(FindWindow(L"KESTA_GPS_LISTEN", 0), nullptr);
}
