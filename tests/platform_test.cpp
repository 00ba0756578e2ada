// What the POSIX backend does beyond the platform contract (which
// tests/contract runs against both backends): message numbers from names,
// mutex names scoped to the platform root, the time zone, a debug output
// that never blocks, and listeners that stop or die.
#include "app/platform/platform.h"
#include "app/platform/posix/internal.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <cstdio>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace test;

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

namespace {

// A window that, handed kOwnBurst, posts to itself until refused (or one
// past the limit), and that
// posts to itself while it is destroyed, recording whether each was taken.
const UINT kFlood = WM_USER + 1, kOwn = WM_USER + 2, kOwnBurst = WM_USER + 3, kSelfDestroy = WM_USER + 4;
int g_ownAccepted = 0;
DWORD g_ownError = 0;
std::vector<std::pair<BOOL, DWORD>> g_postsWhileDestroyed;

LRESULT CALLBACK PosterProc(HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
    if (msg == kOwnBurst) {
        while (g_ownAccepted <= 10000 && PostMessage(hwnd, kOwn, g_ownAccepted, 0)) ++g_ownAccepted;
        g_ownError = GetLastError();
        return 0;
    }
    if (msg == kSelfDestroy) return DestroyWindow(hwnd);
    if (msg == WM_DESTROY) {
        SetLastError(0);
        BOOL own = PostMessage(hwnd, WM_USER, 0, 0);
        g_postsWhileDestroyed.push_back({own, GetLastError()});
        std::thread other([&] {
            BOOL ok = PostMessage(hwnd, WM_USER, 0, 0);
            g_postsWhileDestroyed.push_back({ok, GetLastError()});
        });
        other.join();
        return 0;
    }
    MSG m = {hwnd, msg, w, l, 0, {0, 0}};
    Recorded().push_back(m);
    return DefWindowProc(hwnd, msg, w, l);
}

HWND MakePoster() {
    static bool registered = false;
    if (!registered) {
        WNDCLASS wc = {};
        wc.lpfnWndProc = PosterProc;
        wc.lpszClassName = L"POSTER";
        registered = RegisterClass(&wc) != 0;
    }
    return CreateWindowEx(0, L"POSTER", L"poster", 0, 0, 0, 0, 0, 0, 0, 0, 0);
}

}  // namespace

// Windows' queue holds 10000 posted messages whoever posts them; here the
// owning thread keeps its own 10000 whatever other threads post, so that a
// flood (a local program's broadcasts, say) cannot refuse the per-byte posts
// of a drain, and no more. Refused posts are said.
TEST(PlatformMessages, AFloodFromOtherThreadsNeverRefusesTheOwnersOwnPostsNorLiftsTheirLimit) {
    struct Case {
        const char* legend;
        bool whileHandling;  // the owner posts from inside a window procedure
    } cases[] = {{"the owner posting between messages", false}, {"the owner posting while it handles one", true}};
    int refused = 0;
    for (const Case& c : cases) {
        TempRoot root;
        StderrCapture err;
        HWND hwnd = MakePoster();
        g_ownAccepted = 0;
        g_ownError = 0;
        // Taken before the flood that follows it: the window's own burst
        // then meets a queue whose others' share is full.
        if (c.whileHandling) {
            ASSERT_TRUE(PostMessage(hwnd, kOwnBurst, 0, 0));
        }
        std::thread flood([hwnd] {
            int n = 0;
            while (n <= 10000 && PostMessage(hwnd, kFlood, n, 0)) ++n;
            EXPECT_EQ(n, 10000);
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_QUOTA);
        });
        flood.join();
        if (!c.whileHandling) {
            while (g_ownAccepted <= 10000 && PostMessage(hwnd, kOwn, g_ownAccepted, 0)) ++g_ownAccepted;
            g_ownError = GetLastError();
        }
        Recorded().clear();
        Pump();
        EXPECT_EQ(g_ownAccepted, 10000) << c.legend;
        EXPECT_EQ(g_ownError, (DWORD)ERROR_NOT_ENOUGH_QUOTA) << c.legend;
        ASSERT_EQ(Recorded().size(), 20000u) << c.legend;
        for (size_t i = 0; i < 20000; ++i) {
            ASSERT_EQ(Recorded()[i].message, i < 10000 ? kFlood : kOwn) << c.legend << " " << i;
            ASSERT_EQ(Recorded()[i].wParam, (WPARAM)(i % 10000)) << c.legend << " " << i;
        }
        refused += 2;
        std::string said = "a full message queue refused a post (" + std::to_string(refused) + " so far)";
        EXPECT_TRUE(WaitFor([&] { return err.Text().find(said) != std::string::npos; }, 5000, false))
            << c.legend << ": " << err.Text();
        DestroyWindow(hwnd);
    }
}

// A window being destroyed takes no more posts, from its own thread or any
// other, and nothing posted to it then reaches it.
TEST(PlatformMessages, AWindowBeingDestroyedTakesNoPosts) {
    TempRoot root;
    HWND hwnd = MakePoster();
    g_postsWhileDestroyed.clear();
    Recorded().clear();
    // Destroyed while it handles a message of its own thread.
    ASSERT_TRUE(PostMessage(hwnd, kSelfDestroy, 0, 0));
    Pump();
    EXPECT_FALSE(IsWindow(hwnd));
    ASSERT_EQ(g_postsWhileDestroyed.size(), 2u);
    const char* posters[] = {"its own thread", "another thread"};
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(g_postsWhileDestroyed[i].first) << posters[i];
        EXPECT_EQ(g_postsWhileDestroyed[i].second, (DWORD)ERROR_INVALID_WINDOW_HANDLE) << posters[i];
    }
    Pump();
    EXPECT_TRUE(RecordedOf(WM_USER).empty());
}

// A destroy request (the stop signal's, the control tool's) destroys the
// window on its own thread, whichever thread hands it in; the window's
// procedure sees its WM_DESTROY and nothing else of it.
TEST(PlatformMessages, ADestroyRequestDestroysTheWindowFromAnyThread) {
    const char* from[] = {"the window's own thread", "another thread"};
    for (int i = 0; i < 2; ++i) {
        TempRoot root;
        HWND hwnd = MakeRecorder();
        Recorded().clear();
        if (i == 0) kp::DestroyRequestAllTopLevel();
        else std::thread(kp::DestroyRequestAllTopLevel).join();
        Pump();
        EXPECT_FALSE(IsWindow(hwnd)) << from[i];
        ASSERT_EQ(Recorded().size(), 1u) << from[i];
        EXPECT_EQ(Recorded()[0].message, (UINT)WM_DESTROY) << from[i] << ": 0x" << std::hex << Recorded()[0].message;
    }
}

// Other processes may hold at most 8000 of a queue's others' share at once,
// and each post given back as it is taken: a window that has heard 8000
// posts from other programs hears the next ones too.
TEST(PlatformMessages, OtherProcessesGetTheirShareBackAsTheirPostsAreTaken) {
    TempRoot root;
    HWND hwnd = MakeRecorder();
    UINT msg = RegisterWindowMessage(L"PLATFORM_FROM_AFAR");
    const int kRounds = 5, kPerRound = 2000;  // 10000 in all, each round well within the 8000
    for (int round = 0; round < kRounds; ++round) {
        Recorded().clear();
        for (int i = 0; i < kPerRound; ++i) {
            // The receiving socket holds a few datagrams: a refused send waits for room.
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!kp::IpcSend((long)getpid(), (uint64_t)(uintptr_t)hwnd, kp::IPC_POST, msg, (WPARAM)i, 0)) {
                ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "round " << round << ", post " << i;
            }
        }
        ASSERT_TRUE(WaitFor([&] { return RecordedOf(msg).size() == (size_t)kPerRound; }, 20000))
            << "round " << round << ": " << RecordedOf(msg).size() << " of " << kPerRound << " arrived";
    }
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

// The moment the output takes bytes again, the writer thread still holds
// lines it took while it was blocked: a new line must queue behind them even
// though the output has room.
TEST(PlatformDebugOutput, ANewLineNeverOvertakesTheLinesTheWriterHolds) {
    int fds[2];
    ASSERT_TRUE(MakeFullPipe(fds));
    // A second, non-blocking way into the pipe, to fill it again.
    int filler = open(("/proc/self/fd/" + std::to_string(fds[1])).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(filler, 0);
    fflush(stderr);
    int saved = dup(2);
    dup2(fds[1], 2);
    close(fds[1]);
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    std::string text;
    int next = 0;
    for (int round = 0; round < 20; ++round) {
        // More than the pipe holds, so that the writer blocks holding some.
        for (int i = 0; i < 60; ++i) NKDbgPrintfW(L"line %04d %s\r\n", next++, std::wstring(90, L'x').c_str());
        // One page read: the writer takes all that is queued and blocks
        // holding what the pipe did not take. The next page read gives room
        // while it still holds some.
        char buf[4096];
        for (int page = 0; page < 2; ++page) {
            Sleep(20);
            ssize_t n = read(fds[0], buf, sizeof buf);
            if (n > 0) text.append(buf, (size_t)n);
        }
        NKDbgPrintfW(L"line %04d %s\r\n", next++, std::wstring(90, L'x').c_str());
        char last[32];
        snprintf(last, sizeof last, "line %04d ", next - 1);
        ASSERT_TRUE(ReadUntil(fds[0], &text, last, 10000));
        std::string page(4096, 'f');  // full again for the next round
        while (write(filler, page.data(), page.size()) > 0) {
        }
    }
    dup2(saved, 2);
    close(saved);
    close(filler);
    close(fds[0]);
    int last = -1;
    for (size_t at = text.find("line "); at != std::string::npos; at = text.find("line ", at + 1)) {
        int n = atoi(text.c_str() + at + 5);
        ASSERT_GT(n, last) << "out of order";
        last = n;
    }
    EXPECT_EQ(last, next - 1);
}

// A FIFO (or a folder) planted where the service keeps a file is refused as
// a missing file would be, at once: opening it must not hold the main thread.
TEST(PlatformFiles, AnythingButARegularFileInTheRootIsRefusedWithoutWaiting) {
    TempRoot root;
    for (const char* name : {"UBLOX_ANA_enabled", "NandArea_ReadData.bin", "NandArea_WriteData.bin"})
        ASSERT_EQ(mkfifo(root.File(name).c_str(), 0600), 0) << name;
    mkdir(root.File("UBLOX_GPS_VER7_NO_PATCH").c_str(), 0700);
    std::atomic<bool> done{false};
    std::thread opener([&] {
        EXPECT_EQ(CreateFile(L"\\UBLOX_ANA_enabled", GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0x80, 0),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(CreateFile(L"\\UBLOX_ANA_enabled", GENERIC_READ, 0, 0, OPEN_EXISTING, 0x80, 0),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(CreateFile(L"\\UBLOX_GPS_VER7_NO_PATCH", GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0x80, 0),
                  INVALID_HANDLE_VALUE);
        EXPECT_FALSE(ReadNandArea(4)) << "the dump's place is a FIFO";
        EXPECT_FALSE(WriteNandArea(4)) << "the input's place is a FIFO";
        done = true;
    });
    bool finished = WaitFor([&] { return done.load(); }, 20000, false);
    if (!finished) {  // let a stuck open go: give each FIFO a reader and a writer
        for (const char* name : {"UBLOX_ANA_enabled", "NandArea_ReadData.bin", "NandArea_WriteData.bin"})
            close(open(root.File(name).c_str(), O_RDWR | O_NONBLOCK));
    }
    opener.join();
    EXPECT_TRUE(finished) << "an open waited on a FIFO";
}

// The area is made whole or not at all: a cut while it is first made leaves
// no short area, and an area cut short by an older backend reads as blank
// past its end, keeping a record wholly inside it.
TEST(PlatformNand, AnAreaIsMadeWholeOrNotAtAllAndAShortOneReadsBlankPastItsEnd) {
    TempRoot root;
    std::string area = root.File(".platform/nand/area4.bin");
    for (int cut = 1; cut <= 2; ++cut) {
        setenv("KESTA_GPS_FILE_FAULT", std::to_string(cut).c_str(), 1);
        Process crashed({Program("kesta-test-helper"), "nand-read", "4"});
        EXPECT_EQ(crashed.Wait(20000), 86) << "cut after step " << cut;
        unsetenv("KESTA_GPS_FILE_FAULT");
        EXPECT_TRUE(!FileExists(area) || ReadFile(area).size() == 4096) << "cut after step " << cut;
    }
    Process whole({Program("kesta-test-helper"), "nand-read", "4"});
    EXPECT_EQ(whole.Wait(20000), 0);
    EXPECT_EQ(ReadFile(area), std::string(4096, '\xFF'));
    // Short: 12 bytes of a record, then nothing.
    FILE* f = fopen(area.c_str(), "wb");
    fwrite("\xA4\x21\xD3\x32" "abcdefgh", 1, 12, f);
    fclose(f);
    ASSERT_TRUE(ReadNandArea(4));
    std::string dump = ReadFile(root.File("NandArea_ReadData.bin"));
    ASSERT_EQ(dump.size(), 4096u);
    EXPECT_EQ(dump.substr(0, 12), std::string("\xA4\x21\xD3\x32" "abcdefgh", 12));
    EXPECT_EQ(dump.substr(12), std::string(4084, '\xFF'));
}

// 1024 listeners hear a broadcast; the next is said to hear nothing.
TEST(PlatformBroadcast, AThousandListenersHearItAndOneMoreIsSaid) {
    TempRoot root;
    StderrCapture err;
    const int kListeners = 1025;
    rlimit r;
    getrlimit(RLIMIT_NOFILE, &r);
    if (r.rlim_max < 2 * kListeners + 256) GTEST_SKIP() << "the descriptor limit is " << r.rlim_max;
    r.rlim_cur = 2 * kListeners + 256;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &r), 0);
    std::string dir = root.File(".platform/ipc/");
    UINT m = RegisterWindowMessage(L"KESTA_GPS");
    // A broadcast before any listener: the set is read again after it.
    ASSERT_TRUE(PostMessage(HWND_BROADCAST, m, 0, 0));
    std::vector<int> fds;
    for (int i = 0; i < kListeners; ++i) {
        int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        snprintf(a.sun_path, sizeof a.sun_path, "%s%d.sock", dir.c_str(), 3000000 + i);
        ASSERT_EQ(bind(fd, (sockaddr*)&a, sizeof a), 0) << a.sun_path;
        fds.push_back(fd);
    }
    ASSERT_TRUE(PostMessage(HWND_BROADCAST, m, 7, 1));
    int heard = 0;
    for (int fd : fds) {
        char buf[64];
        heard += recv(fd, buf, sizeof buf, 0) > 0;
        close(fd);
    }
    EXPECT_EQ(heard, 1024);
    EXPECT_EQ(CountOf(err.Text(), "hears nothing: 1024 listeners are served already"), 1u) << err.Text();
}

TEST(PlatformBroadcast, AStoppedOrDeadListenerNeverBlocksAndIsCleanedUp) {
    TempRoot root;
    ServedBefore();
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
