// The service in a hostile environment: listeners that never read, other
// users, an unusable root, a debug output nobody reads, planted links, a
// crash at every step of the backup write, forged messages and forged
// window registry entries.
#include "support.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <csignal>
#include <filesystem>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace test;

namespace {

std::unique_ptr<Process> Listener() {
    ServedBefore();
    auto listener = std::make_unique<Process>(std::vector<std::string>{Program("kesta-gps-listen"), "--json"});
    EXPECT_TRUE(WaitFor([&] { return listener->Err().find("listening") != std::string::npos; }, 10000, false));
    return listener;
}

int Mode(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? (int)(st.st_mode & 0777) : -1;
}

// A socket bound where a listener's would be, that nobody ever reads: a
// stopped listener, as far as a broadcast can tell.
struct DeafListener {
    int fd = -1;
    explicit DeafListener(const std::string& path) {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        EXPECT_EQ(bind(fd, (sockaddr*)&addr, sizeof addr), 0) << path;
    }
    ~DeafListener() { close(fd); }
};

TEST(Hardening, StoppedListenersStarveNobody) {
    TempRoot root;
    auto healthy = Listener();
    // The broadcasting side: a window makes this process a listener too.
    ASSERT_NE(MakeRecorder(), nullptr);
    std::vector<std::unique_ptr<DeafListener>> deaf;
    for (int i = 0; i < 100; ++i)
        deaf.push_back(std::make_unique<DeafListener>(root.File(".platform/ipc/" + std::to_string(4000000 + i) + ".sock")));
    // Another stopped listener: a real one, SIGSTOPped.
    auto stopped = Listener();
    stopped->Signal(SIGSTOP);
    UINT m = RegisterWindowMessage(L"KESTA_GPS");
    // Far more than one socket's send buffer can hold for the deaf ones, in
    // rounds smaller than a listener's queue (net.unix.max_dgram_qlen, 10 by
    // default), so that the healthy listener keeps up.
    const int kRound = 5;
    for (int round = 0; round < 100; ++round) {
        for (int i = 0; i < kRound; ++i) PostMessage(HWND_BROADCAST, m, round * kRound + i, 1);
        size_t want = (size_t)(round + 1) * kRound;
        ASSERT_TRUE(WaitFor([&] { return CountOf(healthy->Out(), "\"lParam\":1") >= want; }, 20000))
            << "round " << round << ": " << CountOf(healthy->Out(), "\"lParam\":1") << " of " << want;
    }
    stopped->Signal(SIGKILL);
}

TEST(Hardening, StateIsPrivateWhateverTheUmask) {
    TempRoot root;
    mode_t old = umask(0);
    ASSERT_NE(CreateMutex(nullptr, FALSE, L"KESTA_GPS"), nullptr);
    ASSERT_NE(MakeRecorder(), nullptr);  // binds the socket, lists the window
    umask(old);
    for (const char* dir : {".platform", ".platform/mutex", ".platform/ipc", ".platform/win"})
        EXPECT_EQ(Mode(root.File(dir)), 0700) << dir;
    EXPECT_EQ(Mode(root.File(".platform/mutex/KESTA_GPS.lock")), 0600);
    EXPECT_EQ(Mode(root.File(".platform/mutex/.guard")), 0600);
    int entries = 0;
    for (const std::string& dir : {root.File(".platform/win")}) {
        for (auto& e : std::filesystem::directory_iterator(dir)) {
            EXPECT_EQ(Mode(e.path().string()), 0600) << e.path();
            ++entries;
        }
    }
    EXPECT_EQ(entries, 1);
    // A folder left open by an older version is taken back.
    chmod(root.File(".platform/mutex").c_str(), 0755);
    ASSERT_NE(CreateMutex(nullptr, FALSE, L"OTHER"), nullptr);
    EXPECT_EQ(Mode(root.File(".platform/mutex")), 0700);
}

// Runs a program as the unprivileged user nobody; -1 when this machine
// cannot (not root, no setpriv, or nobody cannot reach the program).
int AsNobody(const std::vector<std::string>& argv, std::string* out = nullptr) {
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) return -1;
    std::vector<std::string> all = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
    std::vector<std::string> program = WithEmulator(argv);
    all.insert(all.end(), program.begin(), program.end());
    Process p(all);
    int code = p.Wait(20000);
    if (out) *out = p.Out() + p.Err();
    return code;
}

TEST(Hardening, AnotherUserCanNeitherLockNorSend) {
    TempRoot root;
    std::string reach;
    // The test root must be reachable for the check to mean anything.
    chmod(root.path().c_str(), 0755);
    if (AsNobody({Program("kesta-test-helper"), "regmsg", "X"}, &reach) != 0)
        GTEST_SKIP() << "cannot run a program as the user nobody here: " << reach;
    ASSERT_NE(CreateMutex(nullptr, FALSE, L"KESTA_GPS"), nullptr);
    ASSERT_NE(MakeRecorder(), nullptr);
    std::string out;
    // "mutex NAME" prints whether a handle came back and the last error.
    std::vector<std::string> take = WithEmulator({Program("kesta-test-helper"), "mutex", "KESTA_GPS"});
    std::vector<std::string> argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
    argv.insert(argv.end(), take.begin(), take.end());
    Process other(argv);
    ASSERT_TRUE(WaitFor([&] { return other.Out().find('\n') != std::string::npos || !other.Running(); }, 10000, false));
    EXPECT_EQ(other.Out().substr(0, 2), "0 ") << "nobody took the name: " << other.Out() << other.Err();
    other.Signal(SIGKILL);
    // Nor can it read the lock or reach the socket.
    EXPECT_NE(AsNobody({"/bin/cat", root.File(".platform/mutex/KESTA_GPS.lock")}), 0);
    EXPECT_NE(AsNobody({"/bin/ls", root.File(".platform/ipc")}), 0);
}

TEST(Hardening, AnUnusableRootEndsStartUpWithTheReason) {
    TempRoot root;
    std::string file = root.File("not-a-folder");
    FILE* f = fopen(file.c_str(), "w");
    fclose(f);
    struct { std::string root, reason; } rows[] = {
        {file, "it is not a folder"},
        {file + "/below", "Not a directory"},
        {"/proc/kesta-gps-nowhere", "No such file or directory"},
        // Where the socket or the registry's paths would not fit: deaf, or
        // two instances at once, if it ran.
        {root.path() + "/" + std::string(100, 'a'), "the path is too long for the backend's sockets"},
        {"/" + std::string(4064, 'a'), "the path is too long"},
    };
    for (auto& r : rows) {
        setenv("KESTA_GPS_ROOT", r.root.c_str(), 1);
        Process service({Program("kesta-gps")});
        EXPECT_EQ(service.Wait(10000), 1) << r.root;
        EXPECT_NE(service.Err().find("cannot keep its state in the root " + r.root), std::string::npos) << service.Err();
        EXPECT_NE(service.Err().find(r.reason), std::string::npos) << service.Err();
        EXPECT_EQ(CountOf(service.Err(), "\n"), 1u) << service.Err();
    }
    setenv("KESTA_GPS_ROOT", root.path().c_str(), 1);
}

// A root or .platform that another user could have set up or could change
// under the service: refused at start, and nothing it names is changed.
TEST(Hardening, ARootOthersCouldChangeIsRefusedAndLeftAsItWas) {
    const uid_t kOther = 43215;
    const group* listeners = getgrnam("nogroup");
    struct Row {
        const char* what;
        std::function<void(const std::string& root, const std::string& victim)> setUp;
        const char* reason;
        bool needsRoot = false;
        bool group = false;
    } rows[] = {
        {"a root its group may write", [](auto& r, auto&) { chmod(r.c_str(), 0770); }, "others than its user may write it"},
        {"a root anyone may write, not sticky", [](auto& r, auto&) { chmod(r.c_str(), 0777); },
         "others than its user may write it"},
        {"a .platform that is a link", [](auto& r, auto& v) { symlink(v.c_str(), (r + "/.platform").c_str()); },
         "its .platform is a link or not a folder"},
        {"a .platform another user made", [&](auto& r, auto&) {
             mkdir((r + "/.platform").c_str(), 0700);
             chown((r + "/.platform").c_str(), kOther, kOther); }, "its .platform belongs to user 43215", true},
        {"a root of another user", [&](auto& r, auto&) { chown(r.c_str(), kOther, kOther); },
         "it belongs to user 43215", true},
        {"a root that is a link another user made", [&](auto& r, auto& v) {
             std::string link = r + "/link";
             symlink(v.c_str(), link.c_str());
             lchown(link.c_str(), kOther, kOther);
             setenv("KESTA_GPS_ROOT", link.c_str(), 1); }, "it is a link made by user 43215", true},
        {"a root that is a link, opened to a group", [](auto& r, auto& v) {
             std::string link = r + "/link";
             symlink(v.c_str(), link.c_str());
             setenv("KESTA_GPS_ROOT", link.c_str(), 1); }, "is a link, which the service does not change", false, true},
    };
    for (Row& r : rows) {
        if (r.needsRoot && geteuid() != 0) continue;  // no other user to be
        if (r.group && !listeners) continue;
        TempRoot root;
        std::string victim = root.File("victim");
        ASSERT_EQ(mkdir(victim.c_str(), 0700), 0);
        r.setUp(root.path(), victim);
        if (r.group) setenv("KESTA_GPS_LISTEN_GROUP", "nogroup", 1);
        Process service({Program("kesta-gps")});
        EXPECT_EQ(service.Wait(10000), 1) << r.what << "\n" << service.Err();
        unsetenv("KESTA_GPS_LISTEN_GROUP");
        EXPECT_NE(service.Err().find(r.reason), std::string::npos) << r.what << "\n" << service.Err();
        EXPECT_EQ(CountOf(service.Err(), "\n"), 1u) << service.Err();
        struct stat st;
        ASSERT_EQ(stat(victim.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0700u) << r.what << ": the link's target keeps its mode";
        EXPECT_EQ(st.st_gid, getegid()) << r.what << ": and its group";
        EXPECT_FALSE(FileExists(victim + "/mutex")) << r.what << ": nothing made through the link";
    }
}

// A receiver's device another user could feed: said once, and read.
TEST(Hardening, AReceiversDeviceOfAnotherUserIsSaidOnce) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to give the device to another user";
    TempRoot root;
    Pty pty;
    std::string link = root.File("gps0");
    ASSERT_EQ(symlink(pty.slavePath().c_str(), link.c_str()), 0);
    struct { const char* what; std::function<void()> setUp; const char* said; } rows[] = {
        {"the device", [&] { chown(pty.slavePath().c_str(), 43215, 43215); }, "belongs to user 43215"},
        {"a link to it", [&] { chown(pty.slavePath().c_str(), 0, 0); lchown(link.c_str(), 43216, 43216); },
         "is a link of user 43216"},
    };
    setenv("KESTA_GPS_COM1", link.c_str(), 1);
    for (auto& r : rows) {
        r.setUp();
        auto service = StartService();
        EXPECT_EQ(CountOf(service->Err(), r.said), 1u) << r.what << "\n" << service->Err();
        EXPECT_NE(service->Err().find("neither root nor the service's"), std::string::npos);
        service->Signal(SIGTERM);
        EXPECT_EQ(service->Wait(10000), 0);
    }
    setenv("KESTA_GPS_COM1", pty.slavePath().c_str(), 1);
}

// Spawns the service with its debug output on `errFd`.
// A sanitizer's report would block on the full pipe like any other line, so
// it goes to files under the root instead, read back by SanitizerReports.
pid_t SpawnService(int errFd) {
    std::string log = "log_path=" + std::string(getenv("KESTA_GPS_ROOT")) + "/sanitizer";
    for (const char* v : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) setenv(v, log.c_str(), 1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> command = WithEmulator({Program("kesta-gps")});
    std::vector<char*> argv;
    for (std::string& a : command) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    for (const char* v : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) unsetenv(v);
    return pid;
}

std::string SanitizerReports(pid_t pid) {
    return ReadFile(std::string(getenv("KESTA_GPS_ROOT")) + "/sanitizer." + std::to_string(pid));
}

TEST(Hardening, ADebugOutputNobodyReadsStallsNothing) {
    TempRoot root;
    std::unique_ptr<Process> sim;
    StartSim(&sim, {"--void", "1"});
    // A full pipe: the service's very first line cannot be written.
    int pipeFds[2];
    ASSERT_TRUE(MakeFullPipe(pipeFds));
    auto listener = Listener();
    pid_t service = SpawnService(pipeFds[1]);
    close(pipeFds[1]);
    ASSERT_GT(service, 0);
    // It starts, opens its port and broadcasts valid fixes all the same.
    EXPECT_TRUE(WaitFor([&] { return CountOf(listener->Out(), "\"lParam\":1") >= 3; }, 30000, false))
        << listener->Out();
    // Once somebody reads, the lines held meanwhile come out, in order.
    std::string text;
    bool flowed = ReadUntil(pipeFds[0], &text, "RMC Date Field [ A ]", 20000);
    EXPECT_TRUE(flowed) << text.substr(text.find_first_not_of('f') == std::string::npos ? 0 : text.find_first_not_of('f'));
    size_t created = text.find("WindowText(UBLOXMSG)"), opened = text.find("GPSThread START");
    EXPECT_TRUE(created != std::string::npos && opened != std::string::npos && created < opened);
    kill(service, SIGTERM);
    int status = 0;
    waitpid(service, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << SanitizerReports(service);
    close(pipeFds[0]);
}

// The backend's own lines (here: the missing serial device, said inside
// WM_CREATE) share the debug print's way out and never block either: with
// nobody reading, creation ends and a destroy request is served.
TEST(Hardening, TheBackendsOwnLinesNeverBlockOnAFullOutput) {
    TempRoot root;
    setenv("KESTA_GPS_COM1", root.File("no-such-tty").c_str(), 1);
    int pipeFds[2];
    ASSERT_TRUE(MakeFullPipe(pipeFds));
    pid_t service = SpawnService(pipeFds[1]);
    close(pipeFds[1]);
    ASSERT_GT(service, 0);
    ASSERT_TRUE(WaitForListedWindow(service));
    Process ctl({Program("kesta-gps-ctl"), "destroy"});
    EXPECT_EQ(ctl.Wait(20000), 0) << ctl.Err();
    int status = 0;
    EXPECT_TRUE(WaitFor([&] { return waitpid(service, &status, WNOHANG) == service; }, 20000, false))
        << "the main thread is stuck writing a line\n" << SanitizerReports(service);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << SanitizerReports(service);
    kill(service, SIGKILL);
    waitpid(service, nullptr, 0);
    close(pipeFds[0]);
}

TEST(Hardening, PlantedLinksAreNeverWrittenThrough) {
    TempRoot root;
    std::unique_ptr<Process> sim;
    StartSim(&sim, {"--void", "1"});
    // Every file the service writes, pointing at a file it must not touch.
    std::string victim = root.File("victim");
    FILE* f = fopen(victim.c_str(), "w");
    fputs("precious", f);
    fclose(f);
    std::vector<std::string> planted = {"DataStorage/BackupTime.new", "NandArea_ReadData.bin", "NandArea_WriteData.bin",
                                        "UBLOX_GPS_VER7_NO_PATCH", "UBLOX_ANA_enabled"};
    for (const std::string& p : planted) ASSERT_EQ(symlink(victim.c_str(), root.File(p).c_str()), 0) << p;
    auto service = StartService();
    ASSERT_TRUE(WaitFor([&] { return service->Err().find("ACK : UBLOX_Heading_enabled") != std::string::npos; }, 30000,
                        false)) << service->Err();
    ASSERT_TRUE(WaitFor([&] { return CountOf(service->Err(), "Local Time") >= 2; }, 20000, false)) << service->Err();
    EXPECT_EQ(ReadFile(victim), "precious");
    // The backup is written all the same, through a file made anew.
    EXPECT_EQ(ReadFile(root.File("DataStorage/BackupTime")).size(), 16u);
    struct stat st;
    EXPECT_NE(lstat(root.File("DataStorage/BackupTime.new").c_str(), &st), 0) << "the link was removed, not followed";
    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(10000), 0);
}

// FIFOs where the service keeps its files: each is treated as missing, and
// nothing waits on one (an open of a FIFO blocks until a writer comes).
TEST(Hardening, FifosWhereTheServiceKeepsFilesHoldNothingUp) {
    TempRoot root;
    std::unique_ptr<Process> sim;
    StartSim(&sim, {"--void", "1"});
    for (const char* p : {"NandArea_ReadData.bin", "NandArea_WriteData.bin", "UBLOX_GPS_VER7_NO_PATCH", "UBLOX_ANA_enabled"})
        ASSERT_EQ(mkfifo(root.File(p).c_str(), 0600), 0) << p;
    auto service = StartService();
    auto listener = Listener();
    EXPECT_TRUE(WaitFor([&] { return service->Err().find("ACK : UBLOX_Heading_enabled") != std::string::npos; }, 30000,
                        false)) << service->Err();
    EXPECT_TRUE(WaitFor([&] { return CountOf(listener->Out(), "\"lParam\":1") >= 2; }, 20000, false));
    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(10000), 0) << service->Err();
}

// Another program floods the main window with registered messages while the
// first valid fix holds the main thread in the NAND check's waits: the
// service's own per-byte posts still go through, so configuration completes.
TEST(Hardening, AFloodOfPostsFromAnotherProgramDoesNotStopConfiguration) {
    TempRoot root;
    std::unique_ptr<Process> sim;
    StartSim(&sim, {"--void", "0"});
    auto service = StartService();
    Process flood({Program("kesta-test-helper"), "flood", "SOMETHING_ELSE", "5000"});
    ASSERT_TRUE(WaitFor([&] { return !flood.Out().empty(); }, 10000, false)) << flood.Err();
    auto listener = Listener();
    EXPECT_TRUE(WaitFor([&] { return service->Err().find("ACK : UBLOX_Heading_enabled") != std::string::npos; }, 40000,
                        false)) << service->Err();
    EXPECT_TRUE(WaitFor([&] { return CountOf(service->Err(), "Write  :") >= 1; }, 20000, false)) << service->Err();
    size_t heard = CountOf(listener->Out(), "\"lParam\":1");
    EXPECT_TRUE(WaitFor([&] { return CountOf(listener->Out(), "\"lParam\":1") >= heard + 2; }, 20000, false));
    EXPECT_EQ(CountOf(service->Err(), "Write  :"), 1u) << "the first-fix record, once\n" << service->Err();
    flood.Signal(SIGKILL);
    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(10000), 0) << service->Err();
}

TEST(Hardening, ACrashAtAnyStepOfTheBackupLeavesTheOldOrTheNewBytesOnceStartedAgain) {
    TempRoot root;
    auto backup = [&] { return ReadFile(root.File("DataStorage/BackupTime")); };
    auto sync = [&](const char* date, const char* time, long cutAfter) {
        if (cutAfter) setenv("KESTA_GPS_FILE_FAULT", std::to_string(cutAfter).c_str(), 1);
        Process p({Program("kesta-test-sync"), date, time});
        unsetenv("KESTA_GPS_FILE_FAULT");
        return p.Wait(20000);
    };
    ASSERT_EQ(sync("010125", "080000", 0), 0);
    const std::string old = backup();
    ASSERT_EQ(old.size(), 16u);
    // The second sync, cut after each of its file steps in turn, then the
    // next start; the last cuts fall after the backup, in the NAND record's
    // steps.
    std::string fresh;
    int restored = 0;
    for (long step = 1; step <= 14; ++step) {
        int code = sync("020125", "090000", step);
        EXPECT_TRUE(code == 86 || code == 0) << "step " << step;
        Process start({Program("kesta-test-sync"), "--start"});
        restored += start.Wait(20000) == 0;
        std::string now = backup();
        if (now != old) {
            if (fresh.empty()) fresh = now;
            EXPECT_EQ(now, fresh) << "step " << step << ": neither the old nor the new bytes";
        }
        EXPECT_EQ(now.size(), 16u) << "step " << step;
        // Back to the old bytes, and nothing beside them, for the next cut.
        FILE* f = fopen(root.File("DataStorage/BackupTime").c_str(), "wb");
        fwrite(old.data(), 1, old.size(), f);
        fclose(f);
        remove(root.File("DataStorage/BackupTime.new").c_str());
    }
    EXPECT_EQ(fresh.size(), 16u) << "some cut fell after the rename";
    EXPECT_NE(fresh, old);
    EXPECT_EQ(restored, 1) << "one cut fell between the delete and the rename";
}

// The service's main window, from its registry entry: "<pid>-<hwnd>".
uint64_t MainWindowOf(const TempRoot& root, long pid) {
    for (auto& e : std::filesystem::directory_iterator(root.File(".platform/win"))) {
        std::string name = e.path().filename().string();
        long p = 0;
        unsigned long long h = 0;
        if (sscanf(name.c_str(), "%ld-%llx", &p, &h) == 2 && p == pid) return h;
    }
    return 0;
}

void SendRaw(const TempRoot& root, long pid, uint32_t kind, uint64_t hwnd, uint32_t msg) {
    struct {
        uint32_t magic, kind;
        uint64_t hwnd;
        uint32_t msg, pad;
        uint64_t wParam;
        int64_t lParam;
    } p = {0x4B475053, kind, hwnd, msg, 0, 0, 0};
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", root.File(".platform/ipc/" + std::to_string(pid) + ".sock").c_str());
    EXPECT_EQ(sendto(fd, &p, sizeof p, 0, (sockaddr*)&addr, sizeof addr), (ssize_t)sizeof p);
    close(fd);
}

TEST(Hardening, ForgedMessagesAreDroppedAndTheServiceKeepsWorking) {
    TempRoot root;
    std::unique_ptr<Process> sim;
    StartSim(&sim, {"--void", "1"});
    auto service = StartService();
    auto listener = Listener();
    uint64_t main = MainWindowOf(root, service->pid());
    ASSERT_NE(main, 0u);
    // WM_CREATE, WM_QUIT and a plain WM_USER at the main window, WM_CLOSE
    // at a window that is not top-level, and a destroy aimed at one. Windows
    // would deliver all but WM_CREATE (a pointer parameter); here another
    // process reaches only top-level windows, with registered messages,
    // WM_CLOSE and WM_DESTROY, so that a local program cannot drive a
    // window's private messages or its children.
    for (uint32_t msg : {1u, 0x12u, 0x400u}) SendRaw(root, service->pid(), 1, main, msg);
    SendRaw(root, service->pid(), 1, main + 2, 0x10);
    SendRaw(root, service->pid(), 2, main + 2, 0);
    ASSERT_TRUE(WaitFor([&] { return service->Err().find("dropped a message from another process (5 so far)") !=
                                     std::string::npos; }, 10000, false)) << service->Err();
    size_t heard = CountOf(listener->Out(), "\"lParam\"");
    EXPECT_TRUE(WaitFor([&] { return CountOf(listener->Out(), "\"lParam\"") >= heard + 10; }, 20000, false))
        << "the broadcast goes on";
    EXPECT_EQ(CountOf(service->Err(), "GPSThread START"), 1u) << "created once";
    EXPECT_TRUE(service->Running());
    // What the control tool sends still works.
    Process ctl({Program("kesta-gps-ctl"), "destroy"});
    EXPECT_EQ(ctl.Wait(10000), 0);
    EXPECT_EQ(service->Wait(10000), 0);
}

// FindWindow reads the whole window registry, however many entries lie
// before the one it looks for.
TEST(Hardening, FindWindowReadsEveryRegistryEntry) {
    TempRoot root;
    // A live process of ours with a socket, the entry of the window sought,
    // and entries of another window of it until the sought one lies past the
    // 64th in the folder's order.
    Process holder({Program("kesta-test-helper"), "mutex", "HOLD"});
    ASSERT_TRUE(WaitFor([&] { return !holder.Out().empty(); }, 10000, false));
    std::string win = root.File(".platform/win/"), ipc = root.File(".platform/ipc/");
    mkdir(root.File(".platform").c_str(), 0700);
    mkdir(win.c_str(), 0700);
    mkdir(ipc.c_str(), 0700);
    DeafListener socket(ipc + std::to_string(holder.pid()) + ".sock");
    auto entry = [&](int n, const char* text) {
        FILE* f = fopen((win + std::to_string(holder.pid()) + "-" + std::to_string(0x20000 + 2 * n)).c_str(), "w");
        fputs(text, f);
        fclose(f);
    };
    // The sought entry's name: folders that list by a hash of the name put
    // each name at a place of its own, so it is made again under another.
    int soughtN = 1000000;
    auto sought = [&] { return std::to_string(holder.pid()) + "-" + std::to_string(0x20000 + 2 * soughtN); };
    entry(soughtN, "WANTED\nWANTED\n");
    auto position = [&] {
        DIR* d = opendir(win.c_str());
        int at = 0, found = -1;
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            if (sought() == e->d_name) found = at;
            ++at;
        }
        closedir(d);
        return found;
    };
    // Folders list entries newest first, oldest first or by hash: more
    // entries, and the sought one made again, until it lies past the 64th.
    for (int round = 0, n = 1; position() <= 64 && round < 30; ++round) {
        for (int k = 0; k < 100; ++k) entry(n++, "OTHER\nOTHER\n");
        if (position() > 64) break;
        unlink((win + sought()).c_str());
        entry(++soughtN, "WANTED\nWANTED\n");
    }
    ASSERT_GT(position(), 64);
    EXPECT_NE(FindWindow(L"WANTED", 0), nullptr);
}

TEST(Hardening, TheBroadcastAndTheControlToolSurviveTheIpcFolderBeingRemoved) {
    TempRoot root;
    std::unique_ptr<Process> sim;
    StartSim(&sim, {"--void", "1"});
    auto service = StartService();
    auto first = Listener();
    ASSERT_TRUE(WaitFor([&] { return CountOf(first->Out(), "\"lParam\"") >= 1; }, 20000, false));
    // The service may bind again in the folder while it is being emptied,
    // and rm then fails on it as it would for an admin: remove it again.
    ASSERT_TRUE(WaitFor([&] { return system(("rm -rf " + root.File(".platform/ipc") + " 2>/dev/null").c_str()) == 0; },
                        10000, false));
    auto later = Listener();
    EXPECT_TRUE(WaitFor([&] { return CountOf(later->Out(), "\"lParam\"") >= 2; }, 20000, false))
        << "a listener started after the removal hears the broadcast\n" << service->Err() << later->Err();
    Process ctl({Program("kesta-gps-ctl"), "destroy"});
    EXPECT_EQ(ctl.Wait(10000), 0) << ctl.Err();
    EXPECT_EQ(service->Wait(10000), 0) << service->Err();
}

TEST(Hardening, TheControlToolSkipsFifosAndForgedEntries) {
    TempRoot root;
    std::unique_ptr<Process> sim;
    StartSim(&sim, {"--void", "1"});
    auto listener = Listener();  // a live process of ours
    std::string win = root.File(".platform/win/");
    mkdir(win.c_str(), 0700);
    // A FIFO under a live process's name, an entry of a dead process, and
    // one that names a live process with no socket (pid 1).
    ASSERT_EQ(mkfifo((win + std::to_string(sim->pid()) + "-20000").c_str(), 0600), 0);
    // And a live process of ours whose "socket" is a plain file.
    Process holder({Program("kesta-test-helper"), "mutex", "HOLD"});
    ASSERT_TRUE(WaitFor([&] { return !holder.Out().empty(); }, 10000, false));
    FILE* plain = fopen(root.File(".platform/ipc/" + std::to_string(holder.pid()) + ".sock").c_str(), "w");
    fclose(plain);
    for (const std::string& name : {std::string("999999-20000"), std::string("1-20000"),
                                     std::to_string(holder.pid()) + "-20000"}) {
        FILE* f = fopen((win + name).c_str(), "w");
        fputs("KESTA_GPS\nKESTA_GPS\n", f);
        fclose(f);
    }
    Process ctl({Program("kesta-gps-ctl"), "destroy"});
    EXPECT_EQ(ctl.Wait(5000), 1) << "finished at once, finding no service";
    EXPECT_NE(ctl.Err().find("no running KESTA_GPS service"), std::string::npos) << ctl.Err();
    EXPECT_FALSE(FileExists(win + "999999-20000")) << "the dead process's entry is cleaned up";
    EXPECT_TRUE(listener->Running());
    // The real service is found among them.
    auto service = StartService();
    Process ctl2({Program("kesta-gps-ctl"), "destroy"});
    EXPECT_EQ(ctl2.Wait(10000), 0) << ctl2.Err();
    EXPECT_EQ(service->Wait(10000), 0);
}

}  // namespace
