// Every tool's command line: --help, bad options and values, unreadable
// files. Each error is one line naming what was wrong, with exit code 2 for
// a bad command line and 1 for a file that cannot be read.
#include "support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace test;

namespace {

TEST(Tools, HelpBadOptionsBadValuesAndUnreadableFiles) {
    TempRoot root;
    std::string folder = root.path();
    std::string unreadable = root.File("secret.raw");
    FILE* f = fopen(unreadable.c_str(), "w");
    fputs("$GPRMC\n", f);
    fclose(f);
    chmod(unreadable.c_str(), 0);
    bool root_user = geteuid() == 0;  // root reads whatever the mode says
    struct Row {
        std::vector<std::string> argv;
        int code;
        std::string said;  // in the one line on stderr
    } rows[] = {
        {{"kesta-gps-sim", "--bogus"}, 2, "unknown option '--bogus'"},
        {{"kesta-gps-sim", "--hw", "12345"}, 2, "--hw: '12345'"},
        {{"kesta-gps-sim", "--nak", "abc"}, 2, "--nak: 'abc'"},
        {{"kesta-gps-sim", "--nak", "4"}, 2, "--nak: '4'"},
        {{"kesta-gps-sim", "--speedup", "0"}, 2, "--speedup: '0' is not a number from 0.01 to 1000"},
        {{"kesta-gps-sim", "--speedup", "1x"}, 2, "--speedup: '1x' is not a number from 0.01 to 1000"},
        {{"kesta-gps-sim", "--seconds", "abc"}, 2, "--seconds: 'abc'"},
        {{"kesta-gps-sim", "--seconds", "nan"}, 2, "--seconds: 'nan'"},
        {{"kesta-gps-sim", "--time", "2024-13-45T99:99:99"}, 2, "--time: '2024-13-45T99:99:99'"},
        {{"kesta-gps-sim", "--time", "2023-02-29T00:00:00"}, 2, "--time: '2023-02-29T00:00:00'"},
        {{"kesta-gps-sim", "--void", "-1"}, 2, "--void: '-1'"},
        {{"kesta-gps-sim", "--baud", "1234"}, 2, "--baud: '1234'"},
        {{"kesta-gps-sim", "--chunk", "0"}, 2, "--chunk: '0'"},
        {{"kesta-gps-sim", "--void"}, 2, "--void needs a value"},
        {{"kesta-gps-sim", "--replay", folder}, 1, "cannot read " + folder + ": is a directory"},
        {{"kesta-gps-sim", "--replay", "/nonexistent.raw"}, 1, "cannot read /nonexistent.raw: No such file"},
        {{"kesta-gps-replay"}, 2, "no capture FILE given"},
        {{"kesta-gps-replay", "--batch", "-5", "x"}, 2, "--batch: '-5' is not a number from 1 to 4191"},
        {{"kesta-gps-replay", "--batch", "5000", "x"}, 2, "--batch: '5000'"},
        {{"kesta-gps-replay", "--seed", "x", "y"}, 2, "--seed: 'x'"},
        {{"kesta-gps-replay", "a", "b"}, 2, "unexpected argument 'b'"},
        {{"kesta-gps-replay", folder}, 1, "cannot read " + folder + ": is a directory"},
        {{"kesta-gps-replay", "/nonexistent.raw"}, 1, "cannot read /nonexistent.raw: No such file"},
        {{"kesta-gps-listen", "--seconds", "abc"}, 2, "--seconds: 'abc'"},
        {{"kesta-gps-listen", "--count", "-1"}, 2, "--count: '-1'"},
        {{"kesta-gps-listen", "--count", "1x"}, 2, "--count: '1x'"},
        {{"kesta-gps-listen", "-x"}, 2, "unknown option '-x'"},
        {{"kesta-gps-ctl"}, 2, "say close or destroy"},
        {{"kesta-gps-ctl", "stop"}, 2, "unexpected argument 'stop'"},
        {{"kesta-gps-ctl", "close", "close"}, 2, "unexpected argument 'close'"},
        {{"kesta-gps-bench", "1", "/nonexistent"}, 1, "cannot read /nonexistent: No such file"},
        {{"kesta-gps-bench", "0", "x"}, 2, "ROUNDS: '0'"},
        {{"kesta-gps-bench", "1"}, 2, "no input"},
        {{"kesta-gps-bench", "1", "/dev/null"}, 2, "no input"},  // known empty only once read
        {{"kesta-gps-bench", "1", folder}, 1, "is a directory"},
    };
    for (const Row& r : rows) {
        std::vector<std::string> argv = r.argv;
        argv[0] = Program(argv[0]);
        Process p(argv);
        std::string legend = ::testing::PrintToString(r.argv);
        EXPECT_EQ(p.Wait(10000), r.code) << legend;
        std::string err = p.Err();
        EXPECT_NE(err.find(r.said), std::string::npos) << legend << ": " << err;
        EXPECT_EQ(CountOf(err, "\n"), 1u) << legend << ": one line: " << err;
        EXPECT_EQ(p.Out(), "") << legend << ": no device, no output";
    }
    // The largest seed is taken on a 32-bit processor too.
    {
        Process p({Program("kesta-gps-replay"), "--seed", "4294967295", "--batch", "9", CapturePath("gr601-w.raw")});
        EXPECT_EQ(p.Wait(30000), 0) << p.Err();
        EXPECT_EQ(CountOf(p.Out(), "\"rmc\""), 9u);
    }
    // The benchmark prints its figures and nothing else.
    {
        Process p({Program("kesta-gps-bench"), "1", CapturePath("gr601-w.raw")});
        EXPECT_EQ(p.Wait(30000), 0) << p.Err();
        EXPECT_EQ(CountOf(p.Out(), "\n"), 1u) << p.Out();
        EXPECT_EQ(p.Err(), "");
    }
    if (!root_user) {
        Process p({Program("kesta-gps-replay"), unreadable});
        EXPECT_EQ(p.Wait(10000), 1);
        EXPECT_NE(p.Err().find("Permission denied"), std::string::npos) << p.Err();
    }
    for (const char* tool : {"kesta-gps-sim", "kesta-gps-replay", "kesta-gps-listen", "kesta-gps-ctl",
                             "kesta-gps-bench"}) {
        for (const char* flag : {"--help", "-h"}) {
            Process p({Program(tool), flag});
            EXPECT_EQ(p.Wait(10000), 0) << tool << " " << flag;
            EXPECT_EQ(p.Out().compare(0, 7, "usage: "), 0) << tool << ": " << p.Out();
            EXPECT_EQ(p.Err(), "") << tool;
        }
    }
}

}  // namespace
