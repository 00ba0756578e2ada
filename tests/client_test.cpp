// The client library and the Python module, written against the documented
// interface only, hearing the real service.
#include "app/platform/posix/internal.h"
#include "client/kesta_gps_client.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <functional>
#include <sstream>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace test;

namespace {

class ClientTest : public ::testing::Test {
protected:
    TempRoot root;
    Pty pty;
    std::unique_ptr<Process> service;
    void SetUp() override {
        service = StartService();
    }
    void TearDown() override {
        service->Signal(SIGTERM);
        EXPECT_EQ(service->Wait(5000), 0);
    }
    // Sends 10.0 knots, valid, one burst at a time, until `heard` says so.
    bool Drive(const std::function<bool()>& heard) {
        for (int i = 0; i < 40; ++i) {
            pty.Write(Sentence("GPRMC,081836,A,3751.65,S,14507.36,E,010.0,360.0,,011.3,E"));
            if (WaitFor(heard, 250, false)) return true;
        }
        return false;
    }
};

TEST_F(ClientTest, TheCLibraryHearsSpeedAndValidityAndSaysWhyItCannot) {
    kesta_gps_listener* l = kesta_gps_listen(nullptr);
    ASSERT_NE(l, nullptr) << strerror(errno);
    EXPECT_GE(kesta_gps_fd(l), 0);
    kesta_gps_fix fix = {};
    EXPECT_EQ(kesta_gps_next(l, &fix, 100), 0) << "nothing sent yet: a timeout";
    errno = 0;
    EXPECT_EQ(kesta_gps_listen(nullptr), nullptr);
    EXPECT_EQ(errno, EBUSY) << "one listener a process";
    bool valid = Drive([&] { return kesta_gps_next(l, &fix, 0) == 1 && fix.valid; });
    ASSERT_TRUE(valid);
    EXPECT_EQ(fix.speed_kmh, 18u) << "10.0 kn is 18.52 km/h, cut";
    EXPECT_GT(fix.received.tv_sec, 0);
    kesta_gps_close(l);
    errno = 0;
    EXPECT_EQ(kesta_gps_listen(root.File("no-such-root").c_str()), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(ClientTest, ThePythonModuleHearsTheSameFix) {
    std::string script =
        "import kesta_gps, sys\n"
        "with kesta_gps.Listener() as l:\n"
        "    print('timeout' if l.next(timeout=0.1) is None else 'early', flush=True)\n"
        "    for fix in l:\n"
        "        if fix.valid:\n"
        "            print(fix.speed_kmh, fix.valid, fix.received > 0, flush=True)\n"
        "            break\n";
    setenv("PYTHONPATH", KESTA_SOURCE_DIR "/client/python", 1);
    Process python({"/usr/bin/env", "python3", "-c", script});
    ASSERT_TRUE(WaitFor([&] { return python.Out().find("timeout\n") != std::string::npos; }, 10000, false))
        << python.Out() << python.Err();
    EXPECT_TRUE(Drive([&] { return !python.Running(); })) << python.Err();
    EXPECT_EQ(python.Wait(1000), 0) << python.Err();
    EXPECT_EQ(python.Out(), "timeout\n18 True True\n") << python.Err();
}

// ---- Other users: a listener group, an outsider, root's control tool ----

const gid_t kGroup = 43210;
const uid_t kMember = 43211, kForger = 43212, kOutsider = 43213, kServiceUser = 43214;

// Runs body in a child process as `uid` (in `group` when it is not -1); its
// exit code, or -1 when it still runs after timeoutMs (it is then killed).
pid_t AsUser(uid_t uid, gid_t group, const std::function<int()>& body) {
    pid_t child = fork();
    if (child == 0) {
        if (setgroups(group == (gid_t)-1 ? 0 : 1, &group) != 0 || setgid(uid) != 0 || setuid(uid) != 0) _exit(100);
        _exit(body());
    }
    return child;
}
int ExitCode(pid_t child, int timeoutMs) {
    int status = 0;
    if (!WaitFor([&] { return waitpid(child, &status, WNOHANG) == child; }, timeoutMs, false)) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
// Whether another user can run `path` (every folder on the way searchable).
bool OthersCanRun(const std::string& path) {
    return ExitCode(AsUser(kOutsider, (gid_t)-1, [&] { return access(path.c_str(), X_OK) == 0 ? 0 : 1; }), 5000) == 0;
}
std::vector<std::string> As(uid_t uid, const std::vector<std::string>& argv) {
    std::vector<std::string> out = {"/usr/bin/setpriv", "--reuid=" + std::to_string(uid),
                                    "--regid=" + std::to_string(uid), "--groups=" + std::to_string(kGroup), "--"};
    std::vector<std::string> run = WithEmulator(argv);
    out.insert(out.end(), run.begin(), run.end());
    return out;
}

// One message-number rule: the platform, the C client and the Python client
// each give the numbers of tests/data/message-numbers.txt.
TEST(MessageNumbers, ThePlatformAndBothClientsFollowTheOneRule) {
    TempRoot root;
    auto vectors = MessageNumberVectors();
    ASSERT_FALSE(vectors.empty());
    std::vector<std::string> args = {"/usr/bin/env", "python3", "-c",
                                     "import kesta_gps, sys\n"
                                     "for name in sys.argv[1:]: print('%X' % kesta_gps.message_number(name))\n"};
    for (const auto& v : vectors) args.push_back(v.first);
    setenv("PYTHONPATH", KESTA_SOURCE_DIR "/client/python", 1);
    Process python(args);
    ASSERT_EQ(python.Wait(10000), 0) << python.Err();
    std::istringstream fromPython(python.Out());
    for (const auto& v : vectors) {
        EXPECT_EQ(RegisterWindowMessage(kp::FromUtf8(v.first).c_str()), v.second) << "platform: " << v.first;
        EXPECT_EQ(kesta_gps_message_number(v.first.c_str()), v.second) << "C client: " << v.first;
        std::string number;
        fromPython >> number;
        EXPECT_EQ(strtoul(number.c_str(), nullptr, 16), v.second) << "Python client: " << v.first;
    }
}

TEST(ClientUsers, TheListenerGroupHearsTheBroadcastAndNothingMore) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to be other users";
    TempRoot root;
    Pty pty;
    setenv("KESTA_GPS_LISTEN_GROUP", std::to_string(kGroup).c_str(), 1);
    auto service = StartService();
    std::string listen = root.File(".platform/listen/");
    // A member waits for the fix: 18 km/h, valid, never a forged one.
    pid_t member = AsUser(kMember, kGroup, [] {
        kesta_gps_listener* l = kesta_gps_listen(nullptr);
        if (!l) return 10 + (errno == EACCES);
        kesta_gps_fix fix = {};
        while (kesta_gps_next(l, &fix, 20000) == 1)
            if (fix.valid) return fix.speed_kmh == 18 ? 0 : 2;
        return 3;
    });
    std::string memberSock = listen + std::to_string(member) + ".sock";
    // Listening once the library has opened the socket to the group: it
    // binds, then sets the mode, so the file alone is not enough.
    ASSERT_TRUE(WaitFor([&] {
        struct stat st;
        return stat(memberSock.c_str(), &st) == 0 && (st.st_mode & 0777) == 0660;
    }, 10000, false));
    // Another member forges a broadcast to it, tries to remove its socket
    // and the folder, and takes more than its share of the slots.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t forger = AsUser(kForger, kGroup, [&] {
        int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
        unsigned char packet[40] = {};
        uint32_t words[] = {0x4B475053, 1};
        uint64_t wparam = 99;
        int64_t lparam = 1;
        uint32_t msg = RegisterWindowMessage(L"KESTA_GPS");  // as the service registers it
        memcpy(packet, words, 8);
        memcpy(packet + 24, &wparam, 8);
        memcpy(packet + 32, &lparam, 8);
        memcpy(packet + 16, &msg, 4);
        sockaddr_un to = {};
        to.sun_family = AF_UNIX;
        snprintf(to.sun_path, sizeof to.sun_path, "%s", memberSock.c_str());
        if (sendto(fd, packet, sizeof packet, 0, (sockaddr*)&to, sizeof to) != 40) return 20;
        if (unlink(memberSock.c_str()) == 0 || errno != EPERM) return 21;
        if (rename(listen.c_str(), (listen + "x").c_str()) == 0) return 22;
        for (int i = 0; i < 70; ++i) {
            sockaddr_un a = {};
            a.sun_family = AF_UNIX;
            snprintf(a.sun_path, sizeof a.sun_path, "%s%d.sock", listen.c_str(), 5000000 + i);
            int s = socket(AF_UNIX, SOCK_DGRAM, 0);
            if (bind(s, (sockaddr*)&a, sizeof a) != 0) return 23;
        }
        if (write(ready[1], "r", 1) != 1) return 24;
        pause();
        return 0;
    });
    close(ready[1]);
    char r = 0;
    ASSERT_EQ(read(ready[0], &r, 1), 1) << "the forger's checks: exit " << ExitCode(forger, 1000);
    close(ready[0]);
    // The outsider is told, and hears nothing.
    EXPECT_EQ(ExitCode(AsUser(kOutsider, (gid_t)-1,
                              [] { return kesta_gps_listen(nullptr) ? 0 : errno == EACCES ? 13 : 1; }),
                       5000),
              13);
    std::unique_ptr<Process> python;
    std::string module = KESTA_SOURCE_DIR "/client/python/kesta_gps.py";
    if (OthersCanRun("/usr/bin/python3") && OthersCanRun(module.substr(0, module.rfind('/')))) {
        setenv("PYTHONPATH", KESTA_SOURCE_DIR "/client/python", 1);
        python = std::make_unique<Process>(As(kMember + 10, {"/usr/bin/python3", "-c",
            "import kesta_gps\nfor f in kesta_gps.Listener():\n    if f.valid:\n        print(f.speed_kmh); break\n"}));
    }
    // Fixes go on until both listeners heard one: the module's interpreter
    // may still be starting when the library's listener has heard.
    bool heard = false;
    for (int i = 0; i < 80 && (!heard || (python && python->Running())); ++i) {
        pty.Write(Sentence("GPRMC,081836,A,3751.65,S,14507.36,E,010.0,360.0,,011.3,E"));
        Sleep(250);
        int status = 0;
        if (!heard && waitpid(member, &status, WNOHANG) == member) {
            heard = true;
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << WEXITSTATUS(status);
        }
    }
    EXPECT_TRUE(heard);
    if (python) {
        EXPECT_EQ(python->Wait(10000), 0) << python->Err();
        EXPECT_EQ(python->Out(), "18\n");
    }
    EXPECT_NE(service->Err().find("user 43212 has 64 listeners already"), std::string::npos) << service->Err();
    kill(forger, SIGKILL);
    ExitCode(forger, 5000);
    unsetenv("KESTA_GPS_LISTEN_GROUP");
    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(5000), 0);
}

TEST(ClientUsers, RootsControlToolEndsAServiceOfAnotherUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to be other users";
    TempRoot root;
    Pty pty;
    if (!OthersCanRun(Program("kesta-gps"))) GTEST_SKIP() << "the build folder is private to root";
    ASSERT_EQ(chown(root.File("").c_str(), kServiceUser, kServiceUser), 0);
    ASSERT_EQ(chmod(pty.slavePath().c_str(), 0666), 0);
    Process service(As(kServiceUser, {Program("kesta-gps")}));
    ASSERT_TRUE(WaitFor([&] { return service.Err().find("GPSThread START") != std::string::npos; }, 10000, false))
        << service.Err();
    ASSERT_TRUE(WaitFor([&] { return FileExists(root.File(".platform/ipc/")); }, 5000, false));
    Process ctl({Program("kesta-gps-ctl"), "destroy"});
    EXPECT_EQ(ctl.Wait(10000), 0) << ctl.Err();
    EXPECT_EQ(service.Wait(10000), 0) << service.Err();
}

}  // namespace
