// The client library and the Python module, written against the documented
// interface only, hearing the real service.
#include "client/kesta_gps_client.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>

using namespace test;

namespace {

class ClientTest : public ::testing::Test {
protected:
    TempRoot root;
    Pty pty;
    std::unique_ptr<Process> service;
    void SetUp() override {
        service = std::make_unique<Process>(std::vector<std::string>{Program("kesta-gps")});
        ASSERT_TRUE(WaitForListedWindow(service->pid())) << service->Err();
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

}  // namespace
