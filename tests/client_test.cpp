// The client library and the Python module, written against the documented
// interface only, hearing the real service.
#include "app/platform/posix/internal.h"
#include "client/kesta_gps_client.h"
#include "support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <csignal>
#include <functional>
#include <sstream>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
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

int ExitCode(pid_t child, int timeoutMs);

double Seconds(const kesta_gps_time& t) { return (double)t.tv_sec + t.tv_nsec / 1e9; }

std::string Knots(const char* knots) {
    return Sentence(std::string("GPRMC,081836,A,3751.65,S,14507.36,E,") + knots + ",360.0,,011.3,E");
}

// A reader that did not read while the speed changed gets, at its next
// read, the speed broadcast last: its queue filled meanwhile with the oldest
// and refused the newer ones. The fix says when the service sent it.
TEST_F(ClientTest, ASlowReaderGetsTheLatestFixAndCanTellItsAge) {
    kesta_gps_listener* l = kesta_gps_listen(nullptr);
    ASSERT_NE(l, nullptr) << strerror(errno);
    Process watcher({Program("kesta-gps-listen")});  // hears each broadcast as it comes
    ASSERT_TRUE(WaitFor([&] { return watcher.Err().find("listening") != std::string::npos; }, 10000, false));
    // Until far more broadcasts than a queue holds, then the new speed.
    auto drive = [&](const char* knots, const char* heard, size_t want) {
        for (int i = 0; i < 200; ++i) {
            pty.Write(Knots(knots));
            if (WaitFor([&] { return CountOf(watcher.Out(), heard) >= want; }, 100, false)) return true;
        }
        return false;
    };
    ASSERT_TRUE(drive("010.0", "wParam=18 ", 40)) << watcher.Out();
    ASSERT_TRUE(drive("015.0", "wParam=27 ", 1)) << watcher.Out();
    std::atomic<bool> stop{false};
    std::thread receiver([&] {
        while (!stop) {
            pty.Write(Knots("015.0"));
            WaitFor([&] { return stop.load(); }, 100, false);
        }
    });
    kesta_gps_fix fix = {};
    int r = kesta_gps_next(l, &fix, 5000);
    stop = true;
    receiver.join();
    ASSERT_EQ(r, 1) << strerror(errno);
    EXPECT_EQ(fix.speed_kmh, 27u) << "15.0 kn, broadcast last; 18 is the oldest waiting";
    double age = Seconds(fix.received) - Seconds(fix.sent);
    EXPECT_GE(age, 0.0);
    EXPECT_LT(age, 2.0) << "a fresh fix";
    kesta_gps_close(l);
}

// The service stops: a listener hears so within 5 s, not a timeout like a
// silent receiver's, and hears the service again once it runs again; the
// Python module alike.
TEST_F(ClientTest, AListenerTellsAStoppedServiceFromASilentReceiver) {
    std::string script =
        "import kesta_gps\n"
        "with kesta_gps.Listener() as l:\n"
        "    print('ready', flush=True)\n"
        "    while l.next(timeout=0.1) is None: pass\n"
        "    print('heard', flush=True)\n"
        "    try:\n"
        "        while True: l.next(timeout=10)\n"
        "    except kesta_gps.ServiceStopped:\n"
        "        print('stopped', flush=True)\n"
        "    for fix in l:\n"
        "        print('again', flush=True)\n"
        "        break\n";
    setenv("PYTHONPATH", KESTA_SOURCE_DIR "/client/python", 1);
    Process python({"/usr/bin/env", "python3", "-c", script});
    auto said = [&](const char* what) { return python.Out().find(what) != std::string::npos; };
    ASSERT_TRUE(WaitFor([&] { return said("ready"); }, 10000, false)) << python.Err();
    kesta_gps_listener* l = kesta_gps_listen(nullptr);
    ASSERT_NE(l, nullptr) << strerror(errno);
    kesta_gps_fix fix = {};
    ASSERT_TRUE(Drive([&] { return kesta_gps_next(l, &fix, 0) == 1 && said("heard"); })) << python.Err();
    EXPECT_EQ(kesta_gps_next(l, &fix, 200), 0) << "a silent receiver: a timeout";
    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(5000), 0);
    errno = 0;
    EXPECT_EQ(kesta_gps_next(l, &fix, 5000), -1);
    EXPECT_EQ(errno, ENOTCONN);
    EXPECT_TRUE(WaitFor([&] { return said("stopped"); }, 5000, false)) << python.Out() << python.Err();
    service = std::make_unique<Process>(std::vector<std::string>{Program("kesta-gps")});
    ASSERT_TRUE(WaitForListedWindow(service->pid())) << service->Err();
    EXPECT_TRUE(Drive([&] { return kesta_gps_next(l, &fix, 0) == 1 && said("again"); })) << python.Err();
    EXPECT_EQ(python.Wait(5000), 0) << python.Err();
    kesta_gps_close(l);
}

// After fork the child closes its copy and listens on its own; the parent
// still hears.
TEST_F(ClientTest, ClosingInAChildLeavesTheParentHearing) {
    kesta_gps_listener* l = kesta_gps_listen(nullptr);
    ASSERT_NE(l, nullptr) << strerror(errno);
    pid_t child = fork();
    if (child == 0) {
        kesta_gps_close(l);
        kesta_gps_listener* own = kesta_gps_listen(nullptr);
        if (!own) _exit(10 + (errno == EBUSY));
        kesta_gps_close(own);
        _exit(0);
    }
    ASSERT_GT(child, 0);
    EXPECT_EQ(ExitCode(child, 10000), 0) << "11: the child was refused with EBUSY";
    kesta_gps_fix fix = {};
    EXPECT_TRUE(Drive([&] { return kesta_gps_next(l, &fix, 0) == 1; }));
    kesta_gps_close(l);
}

// Each error a documented errno, at listen time; errno untouched when all
// went well.
TEST_F(ClientTest, EveryRefusalHasItsErrno) {
    TempRoot fresh;  // no service ever ran here
    setenv("KESTA_GPS_ROOT", root.path().c_str(), 1);
    std::string file = root.File("a-file");
    close(open(file.c_str(), O_CREAT | O_WRONLY, 0600));
    const struct {
        std::string root;
        int error;
    } cases[] = {
        {root.File("no-such-root"), ENOENT},
        {file, ENOTDIR},
        {fresh.path(), ESRCH},
        {root.path() + "/" + std::string(100, 'x') + "/..", ENAMETOOLONG},
    };
    mkdir((root.path() + "/" + std::string(100, 'x')).c_str(), 0700);
    for (const auto& c : cases) {
        errno = 0;
        EXPECT_EQ(kesta_gps_listen(c.root.c_str()), nullptr) << c.root;
        EXPECT_EQ(errno, c.error) << c.root << ": " << strerror(errno);
    }
    EXPECT_FALSE(FileExists(fresh.File(".platform"))) << "nothing made on a root where no service ran";
    kesta_gps_fix fix = {};
    errno = 0;
    EXPECT_EQ(kesta_gps_next(nullptr, &fix, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 1234;
    kesta_gps_listener* l = kesta_gps_listen(nullptr);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(errno, 1234);
    EXPECT_EQ(kesta_gps_next(l, &fix, 0), 0);
    EXPECT_EQ(errno, 1234);
    kesta_gps_close(l);
    EXPECT_EQ(errno, 1234);
}

// The module as the C library: one listener a process, the same error; a
// timeout of 0 gives None, a negative one ValueError; a root where no
// service ran refused; a fix says when it was sent.
TEST_F(ClientTest, ThePythonModuleAnswersAsTheCLibrary) {
    TempRoot fresh;
    setenv("KESTA_GPS_ROOT", root.path().c_str(), 1);
    std::string script =
        "import errno, kesta_gps, sys\n"
        "try:\n"
        "    kesta_gps.Listener(sys.argv[1])\n"
        "except kesta_gps.ListenError as e:\n"
        "    print('fresh', e.errno == errno.ESRCH)\n"
        "with kesta_gps.Listener() as l:\n"
        "    try:\n"
        "        kesta_gps.Listener()\n"
        "    except kesta_gps.ListenError as e:\n"
        "        print('second', e.errno == errno.EBUSY)\n"
        "    print('zero', l.next(timeout=0))\n"
        "    try:\n"
        "        l.next(timeout=-1)\n"
        "    except ValueError:\n"
        "        print('negative refused')\n"
        "    print('ready', flush=True)\n"
        "    fix = next(iter(l))\n"
        "    print('age', 0 <= fix.received - fix.sent < 2, flush=True)\n";
    setenv("PYTHONPATH", KESTA_SOURCE_DIR "/client/python", 1);
    Process python({"/usr/bin/env", "python3", "-c", script, fresh.path()});
    ASSERT_TRUE(WaitFor([&] { return python.Out().find("ready\n") != std::string::npos; }, 10000, false))
        << python.Out() << python.Err();
    EXPECT_TRUE(Drive([&] { return !python.Running(); })) << python.Err();
    EXPECT_EQ(python.Wait(1000), 0) << python.Err();
    EXPECT_EQ(python.Out(), "fresh True\nsecond True\nzero None\nnegative refused\nready\nage True\n") << python.Err();
}

// ---- Other users: a listener group, an outsider, root's control tool ----

const uid_t kMember = 43211, kForger = 43212, kOutsider = 43213, kServiceUser = 43214;

// The listener group: a group that exists here (the service refuses a
// number no group has), with none of the test users in it.
gid_t ListenGroup() {
    for (const char* name : {"nogroup", "users"})
        if (const group* g = getgrnam(name)) return g->gr_gid;
    return (gid_t)-1;
}
const gid_t kGroup = ListenGroup();

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
bool PythonForOthers() {
    std::string module = KESTA_SOURCE_DIR "/client/python";
    setenv("PYTHONPATH", module.c_str(), 1);
    return OthersCanRun("/usr/bin/python3") && OthersCanRun(module);
}

// A member listening through the library: one line on `out` once it
// listens, then "<wParam>" for each broadcast heard, until killed.
pid_t Member(uid_t uid, int out) {
    return AsUser(uid, kGroup, [out] {
        kesta_gps_listener* l = kesta_gps_listen(nullptr);
        if (!l) return 10 + (errno == EACCES);
        if (write(out, "listening\n", 10) != 10) return 12;
        kesta_gps_fix fix = {};
        for (;;) {
            int r = kesta_gps_next(l, &fix, -1);
            if (r < 0 && errno != ENOTCONN) return 13;
            std::string line = r < 0 ? "stopped\n" : std::to_string(fix.speed_kmh) + "\n";
            if (write(out, line.data(), line.size()) != (ssize_t)line.size()) return 14;
        }
    });
}

// A Member on the read end of a pipe, once it said it listens (-1 if it
// never did, with its exit code in *out); Heard appends what it said since.
pid_t ListeningMember(uid_t uid, int* fd, std::string* out) {
    int p[2];
    if (pipe(p) != 0) return -1;
    pid_t member = Member(uid, p[1]);
    close(p[1]);
    *fd = p[0];
    if (!ReadUntil(p[0], out, "listening\n", 10000)) {
        *out += "exit " + std::to_string(ExitCode(member, 1000));
        return -1;
    }
    fcntl(p[0], F_SETFL, O_NONBLOCK);
    return member;
}
const std::string& Heard(int fd, std::string* out) {
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out->append(buf, (size_t)n);
    return *out;
}

// What a hostile member tries, beside listening: each returns 0 when it was
// stopped. Names, links and files anywhere under .platform (squatting the
// coming pids, aliases of them, a link in place of the service's socket, a
// folder too big to read), and packets sent on its connections (to flood
// the service or anyone).
struct Attack {
    const char* what;
    std::function<bool(const std::string& platform)> stopped;
};
bool Refused(int r) { return r != 0 && (errno == EACCES || errno == EPERM); }
int Connection(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    return connect(fd, (sockaddr*)&a, sizeof a) == 0 ? fd : -1;
}
const Attack kAttacks[] = {
    {"a file named for a coming pid", [](const std::string& p) {
         return Refused(mknod((p + "/listen/999999.sock").c_str(), S_IFREG | 0600, 0)) &&
                Refused(mknod((p + "/999999.sock").c_str(), S_IFREG | 0600, 0)); }},
    {"an alias of a pid in ipc/", [](const std::string& p) {
         return Refused(mknod((p + "/ipc/0999999.sock").c_str(), S_IFREG | 0600, 0)); }},
    {"a link in place of the service's socket", [](const std::string& p) {
         return Refused(unlink((p + "/listen.sock").c_str())) &&
                Refused(symlink("/etc", (p + "/listen.sock.new").c_str())); }},
    {"a folder of its own to fill", [](const std::string& p) { return Refused(mkdir((p + "/x").c_str(), 0700)); }},
    {"listing the state folder", [](const std::string& p) { return access(p.c_str(), R_OK) != 0; }},
    {"packets to the service on its connection", [](const std::string& p) {
         int fd = Connection(p + "/listen.sock");
         char junk[40] = {};
         // Sent before the service took the connection, a packet still goes.
         bool stopped = fd >= 0 && WaitFor([&] {
             return send(fd, junk, sizeof junk, MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno == EPIPE; }, 5000, false);
         close(fd);
         return stopped; }},
};

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
    if (kGroup == (gid_t)-1) GTEST_SKIP() << "no group nogroup or users here to stand for the listener group";
    TempRoot root;
    Pty pty;
    // The folder an older version opened to the group for its sockets.
    std::string platform = root.File(".platform");
    ASSERT_EQ(mkdir(platform.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((platform + "/listen").c_str(), 0700), 0);
    ASSERT_EQ(chown((platform + "/listen").c_str(), (uid_t)-1, kGroup), 0);
    ASSERT_EQ(chmod((platform + "/listen").c_str(), 03730), 0);
    setenv("KESTA_GPS_LISTEN_GROUP", std::to_string(kGroup).c_str(), 1);
    Process service({Program("kesta-gps")});
    unsetenv("KESTA_GPS_LISTEN_GROUP");
    ASSERT_TRUE(WaitForListedWindow(service.pid())) << service.Err();
    // A hostile member tries each attack, then holds more than its share of
    // connections and never reads them.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t forger = AsUser(kForger, kGroup, [&] {
        int failed = 0;
        for (const Attack& a : kAttacks) {
            ++failed;
            if (!a.stopped(platform)) return failed;
        }
        for (int i = 0; i < 70; ++i)
            if (Connection(platform + "/listen.sock") < 0) return 30;
        if (write(ready[1], "r", 1) != 1) return 31;
        pause();
        return 0;
    });
    close(ready[1]);
    char r = 0;
    int code = read(ready[0], &r, 1) == 1 ? 0 : ExitCode(forger, 5000);
    close(ready[0]);
    ASSERT_EQ(code, 0) << "not stopped: " << (code > 0 && code <= (int)std::size(kAttacks) ? kAttacks[code - 1].what : "");
    ASSERT_TRUE(WaitFor([&] { return service.Err().find("user 43212 has 64 listeners already") != std::string::npos; },
                        10000, false)) << service.Err();
    // Members started after it: the library, the Python module, and the
    // service's own user beside them as the measure.
    int heard = -1;
    std::string memberOut;
    pid_t member = ListeningMember(kMember, &heard, &memberOut);
    ASSERT_GT(member, 0) << memberOut;
    auto memberHeard = [&] { return CountOf(Heard(heard, &memberOut), "\n") - 1; };
    Process own({Program("kesta-gps-listen"), "--json"});
    ASSERT_TRUE(WaitFor([&] { return own.Err().find("listening") != std::string::npos; }, 10000, false));
    std::unique_ptr<Process> python;
    if (PythonForOthers())
        python = std::make_unique<Process>(As(kMember + 10, {"/usr/bin/python3", "-c",
            "import kesta_gps\nfor f in kesta_gps.Listener():\n    if f.valid:\n        print(f.speed_kmh); break\n"}));
    // The outsider is told, and hears nothing; the module says so with its
    // own exception.
    EXPECT_EQ(ExitCode(AsUser(kOutsider, (gid_t)-1,
                              [] { return kesta_gps_listen(nullptr) ? 0 : errno == EACCES ? 13 : 1; }), 5000), 13);
    if (python) {
        std::vector<std::string> argv = {"/usr/bin/setpriv", "--reuid=" + std::to_string(kOutsider),
                                         "--regid=" + std::to_string(kOutsider), "--clear-groups", "--",
                                         "/usr/bin/python3", "-c",
                                         "import kesta_gps\ntry:\n    kesta_gps.Listener()\n"
                                         "except kesta_gps.ListenError as e:\n    print(e.errno)\n"};
        Process outsider(argv);
        EXPECT_EQ(outsider.Wait(10000), 0) << outsider.Err();
        EXPECT_EQ(outsider.Out(), std::to_string(EACCES) + "\n") << outsider.Err();
    }
    // Fixes until everyone heard, then enough more, one broadcast at a time,
    // to fill the forger's unread connections: the member hears each once,
    // as the service's own user does, and the forger loses its own.
    auto fix = [&] { pty.Write(Sentence("GPRMC,081836,A,3751.65,S,14507.36,E,010.0,360.0,,011.3,E")); };
    auto ownHeard = [&] { return CountOf(own.Out(), "\"lParam\""); };
    for (int i = 0; i < 80 && (memberHeard() == 0 || (python && python->Running())); ++i) {
        size_t before = ownHeard();
        fix();
        WaitFor([&] { return ownHeard() > before; }, 2000, false);
    }
    ASSERT_GT(memberHeard(), 0u) << "exit " << ExitCode(member, 1000) << "\n" << service.Err();
    size_t ownBase = ownHeard(), memberBase = memberHeard();
    for (int i = 0; i < 150 && service.Err().find("does not read") == std::string::npos; ++i) {
        size_t before = ownHeard();
        fix();
        ASSERT_TRUE(WaitFor([&] { return ownHeard() > before; }, 5000, false));
    }
    EXPECT_NE(service.Err().find("of user 43212 does not read: it loses broadcasts"), std::string::npos)
        << service.Err();
    EXPECT_LE(CountOf(service.Err(), "does not read"), 64u) << "once a connection";
    size_t ownDelta = ownHeard() - ownBase;
    EXPECT_TRUE(WaitFor([&] { return memberHeard() - memberBase + 1 >= ownDelta; }, 5000, false))
        << memberHeard() - memberBase << " of " << ownDelta;
    EXPECT_LE(memberHeard() - memberBase, ownDelta + 1) << "no broadcast twice";
    EXPECT_NE(memberOut.find("\n18\n"), std::string::npos) << memberOut;
    if (python) {
        EXPECT_EQ(python->Wait(10000), 0) << python->Err();
        EXPECT_EQ(python->Out(), "18\n");
    }
    kill(member, SIGKILL);
    ExitCode(member, 5000);
    kill(forger, SIGKILL);
    ExitCode(forger, 5000);
    close(heard);
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(5000), 0);
}

// A member started before the service, or across its restart, hears it once
// it runs: the library connects again.
TEST(ClientUsers, AMemberHearsTheServiceAcrossARestart) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to be other users";
    if (kGroup == (gid_t)-1) GTEST_SKIP() << "no group nogroup or users here to stand for the listener group";
    TempRoot root;
    Pty pty;
    setenv("KESTA_GPS_LISTEN_GROUP", std::to_string(kGroup).c_str(), 1);
    auto start = [] {
        auto s = std::make_unique<Process>(std::vector<std::string>{Program("kesta-gps")});
        EXPECT_TRUE(WaitForListedWindow(s->pid())) << s->Err();
        return s;
    };
    auto service = start();
    int heard = -1;
    std::string out;
    pid_t member = ListeningMember(kMember, &heard, &out);
    ASSERT_GT(member, 0) << out;
    for (int round = 0; round < 2; ++round) {
        size_t before = CountOf(out, "\n");  // speeds and stops
        bool got = false;
        for (int i = 0; i < 40 && !got; ++i) {
            pty.Write(Sentence("GPRMC,081836,A,3751.65,S,14507.36,E,010.0,360.0,,011.3,E"));
            got = WaitFor([&] { return CountOf(Heard(heard, &out), "\n") > before; }, 250, false);
        }
        EXPECT_TRUE(got) << "round " << round << "\n" << service->Err();
        service->Signal(SIGTERM);
        EXPECT_EQ(service->Wait(5000), 0);
        // A listener waiting for ever learns that the service stopped.
        EXPECT_TRUE(WaitFor([&] { return CountOf(Heard(heard, &out), "stopped\n") == (size_t)round + 1; }, 5000,
                            false)) << out;
        if (round == 0) service = start();
    }
    unsetenv("KESTA_GPS_LISTEN_GROUP");
    kill(member, SIGKILL);
    ExitCode(member, 5000);
    close(heard);
}

// Pointed at a root another user could have set up, the library and the
// module refuse it, whatever answers on its socket.
TEST(ClientUsers, TheLibraryRefusesARootThatIsNotTheServices) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to be other users";
    if (kGroup == (gid_t)-1) GTEST_SKIP() << "no group nogroup or users here to stand for the listener group";
    struct {
        const char* what;
        uid_t owner;
        mode_t mode;
    } rows[] = {
        {"a .platform another member owns", kForger, 0711},
        {"a .platform of root that others may write", 0, 0733},
    };
    bool python = PythonForOthers();
    for (auto& r : rows) {
        TempRoot root;
        std::string platform = root.File(".platform");
        chmod(root.path().c_str(), 0755);
        ASSERT_EQ(mkdir(platform.c_str(), 0700), 0);
        // A fake service at the socket, answering anyone.
        int fake = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        snprintf(a.sun_path, sizeof a.sun_path, "%s/listen.sock", platform.c_str());
        ASSERT_EQ(bind(fake, (sockaddr*)&a, sizeof a), 0);
        ASSERT_EQ(listen(fake, 8), 0);
        chmod(a.sun_path, 0666);
        ASSERT_EQ(chown(platform.c_str(), r.owner, r.owner), 0);
        ASSERT_EQ(chmod(platform.c_str(), r.mode), 0);
        EXPECT_EQ(ExitCode(AsUser(kMember, kGroup, [] { return kesta_gps_listen(nullptr) ? 0 : errno == EPERM ? 1 : 2; }),
                           5000), 1) << r.what;
        if (python) {
            Process p(As(kMember, {"/usr/bin/python3", "-c",
                "import kesta_gps\ntry:\n    kesta_gps.Listener()\nexcept kesta_gps.ListenError as e:\n"
                "    print(e.errno)\n"}));
            EXPECT_EQ(p.Wait(10000), 0) << p.Err();
            EXPECT_EQ(p.Out(), std::to_string(EPERM) + "\n") << r.what << p.Err();
        }
        close(fake);
    }
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
    // Another user is told what it may not do, not that no service runs.
    Process member(As(kMember, {Program("kesta-gps-ctl"), "destroy"}));
    EXPECT_EQ(member.Wait(10000), 1) << member.Err();
    EXPECT_NE(member.Err().find("only the service's user"), std::string::npos) << member.Err();
    EXPECT_NE(member.Err().find("or root may find or control the service"), std::string::npos) << member.Err();
    Process ctl({Program("kesta-gps-ctl"), "destroy"});
    EXPECT_EQ(ctl.Wait(10000), 0) << ctl.Err();
    EXPECT_EQ(service.Wait(10000), 0) << service.Err();
}

}  // namespace
