// The real service binary as its users run it: single instance, the control
// tool, stop signals, the broadcast seen by a separate listener program.
#include "support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace test;

namespace {

class ProcessTest : public ::testing::Test {
protected:
    TempRoot root;
    Pty pty;
    int Ctl(const std::string& verb, std::string* err = nullptr) {
        Process ctl({Program("kesta-gps-ctl"), verb});
        int code = ctl.Wait(10000);
        if (err) *err = ctl.Err();
        return code;
    }
    // errno of a plain open of the port's device by a program that takes no
    // lock (0 when it opens), run as an unprivileged user: root passes the
    // tty's exclusive mode.
    int PlainOpenError() {
        pid_t child = fork();
        if (child == 0) {
            if (geteuid() == 0 && (chmod(pty.slavePath().c_str(), 0666) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
                _exit(100);
            int fd = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            _exit(fd >= 0 ? 0 : errno);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    bool PortFree() {
        HANDLE h = CreateFile(L"COM1:", GENERIC_READ | GENERIC_WRITE, 0, 0, OPEN_EXISTING, 0x80, 0);
        if (h == INVALID_HANDLE_VALUE) return false;
        CloseHandle(h);
        return true;
    }
};

TEST_F(ProcessTest, ASecondStartExitsAtOnceSilentlyAndTheFirstKeepsItsPort) {
    auto first = StartService();
    EXPECT_FALSE(PortFree()) << "the service holds the port";
    Process second({Program("kesta-gps")});
    EXPECT_EQ(second.Wait(5000), 0);
    EXPECT_EQ(second.Err(), "");
    EXPECT_EQ(second.Out(), "");
    EXPECT_TRUE(first->Running());
    EXPECT_FALSE(PortFree());
}

TEST_F(ProcessTest, CloseLeavesTheProcessWithItsMutexAndFreesThePort) {
    auto service = StartService();
    EXPECT_EQ(PlainOpenError(), EBUSY) << "exclusive for programs that take no lock too";
    ASSERT_EQ(Ctl("close"), 0);
    EXPECT_TRUE(WaitFor([this] { return PortFree(); }, 5000, false)) << "the port is closed";
    EXPECT_EQ(PlainOpenError(), 0) << "and no longer exclusive";
    EXPECT_TRUE(service->Running());
    Process second({Program("kesta-gps")});
    EXPECT_EQ(second.Wait(5000), 0) << "still refused: the mutex is held";
    EXPECT_EQ(second.Err(), "");
    ASSERT_EQ(Ctl("destroy"), 0);
    EXPECT_EQ(service->Wait(5000), 0);
}

TEST_F(ProcessTest, DestroySigtermAndSigintEndTheServiceWithZero) {
    struct { const char* how; int sig; } rows[] = {{"destroy", 0}, {"SIGTERM", SIGTERM}, {"SIGINT", SIGINT}};
    for (auto& r : rows) {
        auto service = StartService();
        if (r.sig)
            service->Signal(r.sig);
        else
            ASSERT_EQ(Ctl("destroy"), 0);
        EXPECT_EQ(service->Wait(5000), 0) << r.how;
        EXPECT_TRUE(PortFree()) << r.how;
    }
}

TEST_F(ProcessTest, TheControlToolSaysSoWhenNoServiceRuns) {
    std::string err;
    EXPECT_EQ(Ctl("close", &err), 1);
    EXPECT_NE(err.find("no running KESTA_GPS service"), std::string::npos) << err;
    auto service = StartService();
    service->Signal(SIGKILL);
    service->Wait(5000);
    EXPECT_EQ(Ctl("destroy", &err), 1) << "a killed service is not found";
}

TEST_F(ProcessTest, TheCommandLineAndAMistypedClockAreAnsweredWithoutStartingAnything) {
    struct {
        std::vector<std::string> args;
        const char* clock;
        int code;
        const char* out;
        const char* err;
        const char* group = nullptr;
    } rows[] = {
        {{"--help"}, nullptr, 0, "usage: kesta-gps", ""},
        {{"--version"}, nullptr, 0, "kesta-gps 1.", ""},
        {{"--bogus"}, nullptr, 2, "", "unexpected argument '--bogus'"},
        {{"run", "--help"}, nullptr, 0, "usage: kesta-gps", ""},
        {{}, "sytem", 1, "", "KESTA_GPS_CLOCK='sytem'"},
        {{}, nullptr, 1, "", "KESTA_GPS_LISTEN_GROUP='no-such-group-42': no such group", "no-such-group-42"},
        // A number is a group only when a group has it.
        {{}, nullptr, 1, "", "KESTA_GPS_LISTEN_GROUP='987654': no such group", "987654"},
    };
    for (auto& r : rows) {
        std::vector<std::string> argv = {Program("kesta-gps")};
        argv.insert(argv.end(), r.args.begin(), r.args.end());
        if (r.clock) setenv("KESTA_GPS_CLOCK", r.clock, 1);
        if (r.group) setenv("KESTA_GPS_LISTEN_GROUP", r.group, 1);
        Process p(argv);
        EXPECT_EQ(p.Wait(5000), r.code) << argv.back();
        unsetenv("KESTA_GPS_CLOCK");
        unsetenv("KESTA_GPS_LISTEN_GROUP");
        EXPECT_NE(p.Out().find(r.out), std::string::npos) << p.Out();
        EXPECT_NE(p.Err().find(r.err), std::string::npos) << p.Err();
        EXPECT_EQ(CountOf(p.Err(), "\n"), *r.err ? 1u : 0u) << p.Err();
        EXPECT_FALSE(FileExists(root.File(".platform"))) << "nothing started";
        EXPECT_TRUE(PortFree());
    }
}

TEST_F(ProcessTest, AListenerProgramGetsOneBroadcastPerBurstAndNoneAfterClose) {
    auto service = StartService();
    Process listener({Program("kesta-gps-listen"), "--json"});
    ASSERT_TRUE(WaitFor([&] { return listener.Err().find("listening") != std::string::npos; }, 5000, false));
    // The broadcast of a pass carries what the main thread decoded before it,
    // which may or may not include the burst just read. A first burst without
    // an RMC makes "nothing decoded yet" certain; then the fix shows up within
    // a burst or two, and every burst gives exactly one broadcast.
    std::string rmc = Sentence("GPRMC,081836,A,3751.65,S,14507.36,E,010.0,360.0,,011.3,E");
    std::vector<std::string> bursts = {Sentence("GPGSA,A,1,,,,,,,,,,,,,,,")};
    for (int i = 0; i < 4; ++i) bursts.push_back(rmc);
    size_t sent = 0;
    std::string out;
    for (const std::string& b : bursts) {
        pty.Write(b);
        ++sent;
        ASSERT_TRUE(WaitFor([&] { return CountOf(listener.Out(), "\n") >= sent; }, 5000, false)) << sent;
        Sleep(300);
        out = listener.Out();
        if (sent >= 3 && out.find("\"wParam\":18,\"lParam\":1") != std::string::npos) break;
    }
    EXPECT_EQ(CountOf(out, "\"name\":\"KESTA_GPS\""), sent) << out;
    EXPECT_EQ(out.find("\"wParam\":0,\"lParam\":0"), out.find("\"wParam\"")) << "the first carries nothing decoded\n" << out;
    EXPECT_NE(out.find("\"wParam\":18,\"lParam\":1"), std::string::npos) << "10 knots, valid\n" << out;
    EXPECT_EQ(CountOf(out, "\"wParam\":0,\"lParam\":0") + CountOf(out, "\"wParam\":18,\"lParam\":1"), sent) << out;
    ASSERT_EQ(Ctl("close"), 0);
    ASSERT_TRUE(WaitFor([this] { return PortFree(); }, 5000, false));
    Sleep(500);
    std::string before = listener.Out();
    pty.Write(rmc);
    Sleep(700);
    EXPECT_EQ(listener.Out(), before) << "nothing after WM_CLOSE";
    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(5000), 0);
}

TEST_F(ProcessTest, TheServiceDoesNotSpinWhenTheReceiverGoesAway) {
    auto service = StartService();
    pty.Write(Sentence("GPRMC,081836,V,,,,,,,,,,N"));
    Sleep(500);
    pty.CloseMaster();
    Sleep(500);
    double before = service->CpuSeconds();
    Sleep(5000);
    double used = service->CpuSeconds() - before;
    EXPECT_LT(used, 0.25) << "under 5% of one core over 5 s";
    RecordProperty("cpu_seconds_in_5s", std::to_string(used));
    printf("CPU seconds used in 5 s with the receiver gone: %.3f\n", used);
    EXPECT_TRUE(service->Running());
    EXPECT_EQ(CountOf(service->Err(), "hung up or went away"), 1u) << service->Err();
    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(5000), 0);
}

}  // namespace
