// The whole service as its users run it: a real process on a real
// pseudo-terminal, a simulated u-blox receiver on the other end, a separate
// listening program, and the capture replay tool.
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <ctime>
#include <csignal>
#include <map>
#include <set>
#include <sstream>

using namespace test;

namespace {

std::vector<std::string> Lines(const std::string& text, const std::string& prefix) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line);
    return out;
}

// The frames the simulator received: "class id" and the bytes, in order.
std::vector<std::string> ReceivedFrames(const std::string& simOut) {
    std::vector<std::string> out;
    for (const std::string& l : Lines(simOut, "rx class=")) {
        EXPECT_NE(l.find("ck=ok"), std::string::npos) << l;
        out.push_back(l.substr(l.find("bytes=") + 6));
    }
    return out;
}

// Checks that `needles` appear in `hay` in this order.
void ExpectInOrder(const std::string& hay, const std::vector<std::string>& needles) {
    size_t at = 0;
    for (const std::string& n : needles) {
        size_t found = hay.find(n, at);
        ASSERT_NE(found, std::string::npos) << "missing, or out of order: " << Hex(n) << "\n" << hay;
        at = found + n.size();
    }
}

// As the simulator logs them.
const std::string kPoll = Hex(ExpectedFrame("poll-version"));
const std::string kAna = Hex(ExpectedFrame("set-ana-enable"));
const std::string kCm = Hex(ExpectedFrame("set-30cm"));
const std::string kHeading = Hex(ExpectedFrame("set-heading"));

class EndToEnd : public ::testing::Test {
public:
    TempRoot root;
    std::unique_ptr<Process> sim, service;

    void StartSim(std::vector<std::string> args) { test::StartSim(&sim, args); }
    void StartService() { service = test::StartService(); }
    bool Logged(const std::string& text, int timeoutMs) {
        return WaitFor([&] { return service->Err().find(text) != std::string::npos; }, timeoutMs, false);
    }
    void Stop() {
        service->Signal(SIGTERM);
        EXPECT_EQ(service->Wait(10000), 0);
    }
};

TEST_F(EndToEnd, AU7IsIdentifiedAndConfiguredStepByStep) {
    StartSim({"--void", "3"});
    StartService();
    ASSERT_TRUE(Logged("ACK : UBLOX_Heading_enabled", 30000)) << service->Err();
    ASSERT_TRUE(Logged("RMC Date Field [ A ]", 15000)) << service->Err();
    Sleep(1500);  // anything more would show up now
    std::vector<std::string> frames = ReceivedFrames(sim->Out());
    EXPECT_EQ(frames, (std::vector<std::string>{kPoll, kAna, kCm, kHeading})) << sim->Out();
    EXPECT_EQ(Lines(sim->Out(), "rx other bytes=").front(), "rx other bytes=0D 0A") << "the poll ends in CR LF";
    EXPECT_TRUE(FileExists(root.File("UBLOX_GPS_VER7_NO_PATCH")));
    EXPECT_TRUE(FileExists(root.File("UBLOX_ANA_enabled")));
    EXPECT_FALSE(FileExists(root.File("UBLOX_ANA_failed")));
    EXPECT_EQ(ReadFile(root.File("DataStorage/BackupTime")).size(), 16u);
    std::string err = service->Err();
    ExpectInOrder(err, {Tagged(31, "WindowText(UBLOXMSG) \r\n"), Tagged(31, "WindowText(READGPSDATAMSG) \r\n"),
                        "m_sPortName --- > COM1: \r\n", "GPSThread START !! \r\n", "RMC Date Field [ V ] [1]-[0]",
                        "Local Time -- ", Tagged(32, "GPS S/W Ver.1.00 (59842)"), Tagged(32, "GPS H/W Ver.00070000"),
                        Tagged(32, "Send : SetANAEnable"), Tagged(32, "ACK : UBLOX_ANA_enabled"),
                        Tagged(32, "Send : Set30Cm"), Tagged(32, "ACK : UBLOX_30Cm_enabled"),
                        Tagged(32, "Send : SetHeading"), Tagged(32, "ACK : UBLOX_Heading_enabled")});
    // The first-fix record is looked up at the valid fix only.
    ExpectInOrder(err, {"RMC Date Field [ V ] [1]-[0]", "RMC Date Field [ A ] [1]-[1]",
                        "- Read  : 65535-255-255 255:255:-1\r\n", "- Write  : ", ":852697508\r\n"});
    EXPECT_EQ(CountOf(err, "RMC Date Field"), 2u);
    EXPECT_EQ(CountOf(err, "- Read  : "), 1u);
    EXPECT_EQ(CountOf(err, "- Write  : "), 1u) << "the record is written once";
    Stop();
}

TEST_F(EndToEnd, ARefusedFirstStepLeavesItsMarkerAndSendsNothingMore) {
    StartSim({"--void", "2", "--nak", "1"});
    StartService();
    ASSERT_TRUE(Logged(Tagged(31, "NAK : UBLOX_ANA_failed"), 30000)) << service->Err();
    Sleep(2500);
    EXPECT_TRUE(FileExists(root.File("UBLOX_ANA_failed")));
    EXPECT_FALSE(FileExists(root.File("UBLOX_ANA_enabled")));
    EXPECT_EQ(ReceivedFrames(sim->Out()), (std::vector<std::string>{kPoll, kAna}));
    Stop();
}

TEST_F(EndToEnd, AU8IsNeverConfiguredAndPolledAtMostTwice) {
    StartSim({"--void", "2", "--hw", "00080000"});
    StartService();
    ASSERT_TRUE(Logged("RMC Date Field [ A ]", 20000)) << service->Err();
    Sleep(3000);
    std::vector<std::string> frames = ReceivedFrames(sim->Out());
    EXPECT_EQ(frames, (std::vector<std::string>{kPoll, kPoll})) << "first sync and first valid fix";
    EXPECT_EQ(Lines(sim->Out(), "tx mon-ver").size(), 2u);
    EXPECT_FALSE(FileExists(root.File("UBLOX_GPS_VER7_NO_PATCH")));
    EXPECT_EQ(service->Err().find("H/W Ver"), std::string::npos);
    Stop();
}

TEST_F(EndToEnd, AListenerSeesVoidThenTheSimulatorsSpeedAtMostFiveTimesASecond) {
    StartSim({"--void", "3"});
    StartService();
    Process listener({Program("kesta-gps-listen"), "--json"});
    ASSERT_TRUE(WaitFor([&] { return listener.Err().find("listening") != std::string::npos; }, 5000, false));
    ASSERT_TRUE(WaitFor([&] { return CountOf(listener.Out(), "\"lParam\":1") >= 10; }, 30000, false))
        << listener.Out();
    // The simulator's speeds in whole km/h: 12 + 8 sin(k / 7) knots, three decimals.
    std::set<unsigned long> speeds;
    for (int k = 0; k < 100; ++k) {
        double knots = std::round((12.0 + 8.0 * std::sin(k / 7.0)) * 1000) / 1000;
        speeds.insert((unsigned long)(knots * 1.852));
    }
    std::vector<std::string> lines = Lines(listener.Out(), "{");
    ASSERT_GE(lines.size(), 10u);
    bool present;
    EXPECT_EQ(JsonNumber(lines[0], "lParam", &present), 0) << "void at first";
    bool sawValid = false;
    std::map<std::string, int> perSecond;
    for (const std::string& l : lines) {
        double w = JsonNumber(l, "wParam", &present), valid = JsonNumber(l, "lParam", &present);
        if (valid == 1) {
            sawValid = true;
            EXPECT_TRUE(speeds.count((unsigned long)w)) << l;
        } else {
            EXPECT_FALSE(sawValid) << "no void after the fix: " << l;
            EXPECT_EQ(w, 0) << l;
        }
        ++perSecond[JsonText(l, "time").substr(0, 19)];
    }
    for (auto& kv : perSecond) EXPECT_LE(kv.second, 5) << kv.first;
    // None once the service has closed its port.
    Process ctl({Program("kesta-gps-ctl"), "close"});
    ASSERT_EQ(ctl.Wait(5000), 0);
    Sleep(600);
    std::string before = listener.Out();
    Sleep(1500);
    EXPECT_EQ(listener.Out(), before);
    EXPECT_TRUE(service->Running());
    Stop();
}

// The simulator hands bytes over a few at a time at the line's pace, so the
// reader wakes in the middle of sentences: none may be lost for it.
TEST_F(EndToEnd, EverySpeedTheReceiverSentIsBroadcastAtUartPace) {
    StartSim({"--void", "2", "--seconds", "9", "--chunk", "5"});
    ServedBefore();  // the listener starts before the service, on a root it ran on
    Process listener({Program("kesta-gps-listen"), "--json"});
    ASSERT_TRUE(WaitFor([&] { return listener.Err().find("listening") != std::string::npos; }, 5000, false));
    StartService();
    ASSERT_EQ(sim->Wait(30000), 0) << sim->Out();
    ASSERT_TRUE(Logged("ACK : UBLOX_Heading_enabled", 5000)) << service->Err();
    EXPECT_EQ(ReadFile(root.File("DataStorage/BackupTime")).size(), 16u);
    // What each RMC sentence sent should be heard as: whole km/h and validity.
    std::vector<std::pair<unsigned long, int>> sent;
    for (const std::string& l : Lines(sim->Out(), "tx rmc ")) {
        std::vector<std::string> f;
        std::istringstream fields(l.substr(7));
        for (std::string x; std::getline(fields, x, ',');) f.push_back(x);
        ASSERT_GE(f.size(), 8u) << l;
        bool valid = f[2] != "V";
        std::pair<unsigned long, int> heard(valid ? (unsigned long)(atof(f[7].c_str()) * 1.852) : 0, valid);
        if (sent.empty() || sent.back() != heard) sent.push_back(heard);
    }
    ASSERT_GE(sent.size(), 5u) << sim->Out();
    ASSERT_EQ(sent.front(), std::make_pair(0ul, 0)) << "void first";
    // Let the last burst's broadcast through, then compare the changes.
    Sleep(600);
    std::vector<std::pair<unsigned long, int>> heard;
    bool has;
    for (const std::string& l : Lines(listener.Out(), "{")) {
        std::pair<unsigned long, int> h((unsigned long)JsonNumber(l, "wParam", &has), (int)JsonNumber(l, "lParam", &has));
        if (heard.empty() || heard.back() != h) heard.push_back(h);
    }
    // A broadcast carries the fix decoded before its burst, so the last
    // sentence may go unheard.
    std::vector<std::pair<unsigned long, int>> allButLast(sent.begin(), sent.end() - 1);
    EXPECT_TRUE(heard == sent || heard == allButLast) << "sent " << ::testing::PrintToString(sent) << "\nheard "
                                                      << ::testing::PrintToString(heard);
    Stop();
}

TEST_F(EndToEnd, TheServiceOutlivesTheReceiverWithoutSpinning) {
    StartSim({"--void", "2", "--seconds", "3"});
    StartService();
    ASSERT_EQ(sim->Wait(15000), 0) << "the simulator went away";
    Sleep(500);
    double before = service->CpuSeconds();
    Sleep(5000);
    double used = service->CpuSeconds() - before;
    printf("CPU seconds over 5 s after the receiver went away: %.3f\n", used);
    EXPECT_LT(used, 0.25) << "under 5% of one core";
    EXPECT_TRUE(service->Running());
    Stop();
}

// ---- No heap after start-up ----

// The service's heap allocations, counted by the interposer built with the
// tests (libkesta-alloc-count.so, preloaded into the service only).
class AllocationCounter {
public:
    explicit AllocationCounter(const std::string& path) : path_(path) {
        FILE* f = fopen(path.c_str(), "wb");
        static const char zeros[16] = {};
        fwrite(zeros, 1, sizeof zeros, f);
        fclose(f);
    }
    uint64_t Count() const {
        uint64_t v[2] = {};
        FILE* f = fopen(path_.c_str(), "rb");
        if (f) {
            if (fread(v, sizeof v, 1, f) != 1) v[0] = 0;
            fclose(f);
        }
        return v[0];
    }

private:
    std::string path_;
};

void NoAllocationAfterStartUp(EndToEnd* t, TempRoot& root, const std::string& hardware) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers bring their own allocator";
#endif
    AllocationCounter counter(root.File("allocations"));
    std::string library = Program("libkesta-alloc-count.so");
    // Under an emulator the preload is the emulated program's, not qemu's.
    const char* variable = getenv("KESTA_TEST_EMULATOR") && *getenv("KESTA_TEST_EMULATOR") ? "QEMU_SET_ENV" : "LD_PRELOAD";
    std::string value = std::string(variable) == "LD_PRELOAD" ? library : "LD_PRELOAD=" + library;
    t->StartSim({"--void", "2", "--hw", hardware});
    setenv("KESTA_ALLOC_COUNT", root.File("allocations").c_str(), 1);
    setenv(variable, value.c_str(), 1);
    t->StartService();
    unsetenv(variable);
    unsetenv("KESTA_ALLOC_COUNT");
    // StartService has waited for the main window to be listed: the last
    // step of start-up that may allocate.
    uint64_t startUp = counter.Count();
    ASSERT_GT(startUp, 0u) << "the counter is not in the service";
    // Every path of the live service: the clock set twice, the backup, the
    // NAND record, the poll, the broadcasts to a listener, the UBX sink at
    // work (closed after configuration, or open for good with a u-blox 8).
    Process listener({Program("kesta-gps-listen"), "--json"});
    ASSERT_TRUE(t->Logged("RMC Date Field [ A ]", 30000)) << t->service->Err();
    if (hardware == "00070000") {
        ASSERT_TRUE(t->Logged("ACK : UBLOX_Heading_enabled", 20000)) << t->service->Err();
    }
    ASSERT_TRUE(WaitFor([&] { return CountOf(listener.Out(), "\"lParam\":1") >= 5; }, 20000, false));
    uint64_t end = counter.Count();
    printf("%s: %llu allocations in start-up, %llu after it\n", hardware.c_str(), (unsigned long long)startUp,
           (unsigned long long)(end - startUp));
    EXPECT_EQ(end, startUp) << "heap allocations after start-up";
    t->Stop();
}

TEST_F(EndToEnd, NoHeapAllocationAfterStartUpWithAConfiguredU7) { NoAllocationAfterStartUp(this, root, "00070000"); }

TEST_F(EndToEnd, NoHeapAllocationAfterStartUpWithAnOpenUbxSink) { NoAllocationAfterStartUp(this, root, "00080000"); }

// ---- The replay tool and the captures ----

std::vector<std::string> Replay(const std::string& capture, std::string* err = nullptr) {
    Process p({Program("kesta-gps-replay"), CapturePath(capture)});
    EXPECT_EQ(p.Wait(30000), 0);
    if (err) *err = p.Err();
    return Lines(p.Out(), "{");
}

std::vector<std::string> OfType(const std::vector<std::string>& lines, const std::string& type) {
    std::vector<std::string> out;
    for (const std::string& l : lines)
        if (JsonText(l, "type") == type) out.push_back(l);
    return out;
}

// The frames in the order first sent. How often the version poll repeats
// depends on the drains: with small ones the receiver's version report
// reaches the UBX sink before the first valid fix, which then needs no poll.
std::vector<std::string> DistinctFrames(const std::vector<std::string>& frames) {
    std::vector<std::string> out;
    for (const std::string& f : frames)
        if (std::find(out.begin(), out.end(), f) == out.end()) out.push_back(f);
    return out;
}

TEST(ReplayTool, EveryCaptureGivesTheSameRecordsAndFramesAtEverySplit) {
    std::vector<std::string> captures = {"gr601-w", "ublox-lea-4h", "garmin48", "com-1289", "magellan-ec10",
                                         "ublox8-uniqid-monhw", "vk162-ublox7-cold-start", "ubx7-spliced"};
    // Random splits: two fixed seeds, the same in every run, and a new one
    // each run, which the failing split's arguments name.
    const unsigned seeds[] = {1, 2, (unsigned)time(nullptr) % 100000 + 3};
    std::vector<std::vector<std::string>> splits = {{}, {"--batch", "1"}, {"--batch", "2"}, {"--batch", "3"},
                                                    {"--batch", "7"}, {"--batch", "16"}, {"--batch", "192"},
                                                    {"--batch", "4096"}};
    for (unsigned seed : seeds) splits.push_back({"--batch", "300", "--seed", std::to_string(seed)});
    for (const std::string& name : captures) {
        // All splits of one capture at once: each run waits on the NAND.
        std::vector<std::unique_ptr<Process>> runs;
        for (const auto& split : splits) {
            std::vector<std::string> argv = {Program("kesta-gps-replay")};
            argv.insert(argv.end(), split.begin(), split.end());
            argv.push_back(CapturePath(name + ".raw"));
            runs.push_back(std::make_unique<Process>(argv));
        }
        std::vector<std::string> whole;
        for (size_t k = 0; k < runs.size(); ++k) {
            std::string legend = name;
            for (const std::string& a : splits[k]) legend += " " + a;
            ASSERT_EQ(runs[k]->Wait(60000), 0) << legend << runs[k]->Err();
            std::vector<std::string> out = Lines(runs[k]->Out(), "{");
            if (k == 0) {
                whole = out;
                EXPECT_FALSE(OfType(whole, "rmc").empty() && name != "ublox8-uniqid-monhw") << name;
                continue;
            }
            EXPECT_EQ(OfType(out, "rmc"), OfType(whole, "rmc")) << legend;
            EXPECT_EQ(DistinctFrames(OfType(out, "frame")), DistinctFrames(OfType(whole, "frame"))) << legend;
        }
    }
}

class ReplayCaptures : public ::testing::TestWithParam<const char*> {};

TEST_P(ReplayCaptures, TheReplayToolAgreesWithTheExpectedReports) {
    TempRoot root;
    std::string name = GetParam();
    std::string raw = Capture(name + ".raw");
    std::vector<std::string> expected;
    std::istringstream in(Capture(name + ".rmc-expected.jsonl"));
    std::string line;
    while (std::getline(in, line)) {
        std::string rmc = JsonText(line, "rmc");
        if (rmc.compare(0, 6, "$GPRMC") == 0 && raw.find(rmc) != std::string::npos) expected.push_back(line);
    }
    std::vector<std::string> rmcs;
    for (const std::string& l : Replay(name + ".raw"))
        if (JsonText(l, "type") == "rmc") rmcs.push_back(l);
    ASSERT_EQ(rmcs.size(), expected.size());
    bool has;
    for (size_t i = 0; i < rmcs.size(); ++i) {
        const std::string& e = expected[i];
        EXPECT_EQ(JsonText(rmcs[i], "status"), JsonText(e, "status")) << e;
        if (JsonText(e, "status") != "A" || e.find("\"tpv\": null") != std::string::npos) continue;
        EXPECT_NEAR(JsonNumber(rmcs[i], "latitude", &has), JsonNumber(e, "lat", &has), 1e-6) << e;
        EXPECT_NEAR(JsonNumber(rmcs[i], "longitude", &has), JsonNumber(e, "lon", &has), 1e-6) << e;
        EXPECT_NEAR(JsonNumber(rmcs[i], "speed", &has) * 0.514444, JsonNumber(e, "speed", &has), 0.001) << e;
    }
}

INSTANTIATE_TEST_SUITE_P(Captures, ReplayCaptures,
                         ::testing::Values("gr601-w", "ublox-lea-4h", "garmin48", "com-1289", "magellan-ec10",
                                           "ublox8-uniqid-monhw", "vk162-ublox7-cold-start"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return CaptureTestName(info.param); });

TEST_F(EndToEnd, ACaptureDecodesTheSameThroughTheServiceAsThroughTheReplayTool) {
    std::string replayErr;
    std::vector<std::string> replayed = Replay("ubx7-spliced.raw", &replayErr);
    StartSim({"--replay", CapturePath("ubx7-spliced.raw"), "--speedup", "2", "--seconds", "8"});
    StartService();
    Process listener({Program("kesta-gps-listen"), "--json"});
    ASSERT_TRUE(WaitFor([&] { return sim->Out().find("replay done") != std::string::npos; }, 20000, false));
    ASSERT_TRUE(Logged("ACK : UBLOX_ANA_enabled", 10000)) << service->Err();
    Sleep(1000);
    // The same synchronisations, the same receiver identification.
    auto clockLines = [](const std::string& err) {
        std::vector<std::string> out;
        for (const char* key : {"RMC Date Field", "GPS S/W", "GPS H/W"}) {
            for (size_t at = err.find(key); at != std::string::npos; at = err.find(key, at + 1))
                out.push_back(err.substr(at, err.find('\33', at) - at));
        }
        return out;
    };
    EXPECT_EQ(clockLines(service->Err()), clockLines(replayErr));
    // The last fix the replay decoded is what the listener hears last.
    std::string lastRmc;
    for (const std::string& l : replayed)
        if (JsonText(l, "type") == "rmc") lastRmc = l;
    bool has;
    unsigned long kmh = (unsigned long)(JsonNumber(lastRmc, "speed", &has) * 1.852);
    std::vector<std::string> heard = Lines(listener.Out(), "{");
    ASSERT_FALSE(heard.empty());
    EXPECT_EQ(JsonNumber(heard.back(), "wParam", &has), (double)kmh) << heard.back();
    EXPECT_EQ(JsonNumber(heard.back(), "lParam", &has), 1);
    // And the same frames reached the receiver.
    std::vector<std::string> frames;
    for (const std::string& l : DistinctFrames(OfType(replayed, "frame"))) frames.push_back(JsonText(l, "hex"));
    std::vector<std::string> received = DistinctFrames(ReceivedFrames(sim->Out()));
    ASSERT_EQ(received.size(), frames.size()) << sim->Out();
    for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i].substr(0, received[i].size()), received[i]);
    Stop();
}

}  // namespace
