// The test binaries' entry. The service keeps its state in process-wide
// records, as on the device, so every test case needs a fresh process: ctest
// runs one case per process, and a binary started by hand with more than one
// case selected runs each of them in a child process of its own.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fnmatch.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

const char kChildVariable[] = "KESTA_TEST_ONE_CASE";

// gtest's filter: positive patterns, then after '-' negative ones, each
// list separated by ':', with '*' and '?' wildcards.
bool AnyMatches(const std::string& list, const std::string& name) {
    size_t at = 0;
    for (;;) {
        size_t end = list.find(':', at);
        std::string pattern = list.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (!pattern.empty() && fnmatch(pattern.c_str(), name.c_str(), 0) == 0) return true;
        if (end == std::string::npos) return false;
        at = end + 1;
    }
}

bool Selected(const std::string& name) {
    std::string filter = ::testing::GTEST_FLAG(filter);
    size_t dash = filter.find('-');
    std::string positive = filter.substr(0, dash);
    if (positive.empty()) positive = "*";
    if (!AnyMatches(positive, name)) return false;
    if (dash != std::string::npos && AnyMatches(filter.substr(dash + 1), name)) return false;
    return ::testing::GTEST_FLAG(also_run_disabled_tests) || name.find("DISABLED_") == std::string::npos;
}

std::vector<std::string> SelectedCases() {
    std::vector<std::string> out;
    const ::testing::UnitTest* unit = ::testing::UnitTest::GetInstance();
    for (int i = 0; i < unit->total_test_suite_count(); ++i) {
        const ::testing::TestSuite* suite = unit->GetTestSuite(i);
        for (int j = 0; j < suite->total_test_count(); ++j) {
            const ::testing::TestInfo* info = suite->GetTestInfo(j);
            std::string name = std::string(suite->name()) + "." + info->name();
            if (Selected(name)) out.push_back(name);
        }
    }
    return out;
}

int RunEachInItsOwnProcess(const char* self, const std::vector<std::string>& cases) {
    setenv(kChildVariable, "1", 1);
    std::vector<std::string> failed;
    for (const std::string& name : cases) {
        std::string filter = "--gtest_filter=" + name;
        char* argv[] = {const_cast<char*>(self), const_cast<char*>(filter.c_str()), nullptr};
        pid_t pid = -1;
        int status = -1;
        if (posix_spawn(&pid, self, nullptr, nullptr, argv, environ) != 0 || waitpid(pid, &status, 0) != pid ||
            !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            failed.push_back(name);
    }
    printf("\n%zu cases, each in a process of its own:\n", cases.size());
    for (const std::string& name : failed) printf("failed: %s\n", name.c_str());
    printf("%zu passed, %zu failed\n", cases.size() - failed.size(), failed.size());
    return failed.empty() ? 0 : 1;
}

}  // namespace

// A test program that is also started as a helper of its own cases defines
// this: it returns the exit code of the role argv names, or -1.
extern "C" int KestaTestRole(int argc, char** argv) __attribute__((weak));

int main(int argc, char** argv) {
    if (KestaTestRole) {
        int code = KestaTestRole(argc, argv);
        if (code >= 0) return code;
    }
    ::testing::InitGoogleTest(&argc, argv);
    if (!::testing::GTEST_FLAG(list_tests) && !getenv(kChildVariable)) {
        std::vector<std::string> cases = SelectedCases();
        if (cases.size() > 1) return RunEachInItsOwnProcess(argv[0], cases);
    }
    return RUN_ALL_TESTS();
}
