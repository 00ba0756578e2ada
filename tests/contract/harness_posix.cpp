// The contract's harness on the POSIX backend: a temporary root, a real
// pseudo-terminal whose far end echoes, and child processes started through
// the test support (behind qemu where the build is a cross build).
#include "harness.h"
#include "support.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace contract {

const char* Backend() { return "posix"; }

namespace {
test::TempRoot* g_root = nullptr;
}

Root::Root() { g_root = new test::TempRoot; }
Root::~Root() {
    delete g_root;
    g_root = nullptr;
}

bool LineAvailable(std::string*) { return true; }

struct Line::Impl {
    test::Pty pty;
    std::atomic<bool> stop{false};
    std::thread echo;
};

Line::Line() : impl_(new Impl) {
    Impl* i = impl_;
    i->echo = std::thread([i] {
        int fd = i->pty.master();
        while (!i->stop) {
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            char buf[256];
            ssize_t n = read(fd, buf, sizeof buf);
            for (ssize_t done = 0; n > 0 && done < n;) {
                ssize_t w = write(fd, buf + done, (size_t)(n - done));
                if (w > 0) done += w;
                else if (errno != EAGAIN && errno != EINTR) break;
            }
        }
    });
}

Line::~Line() {
    impl_->stop = true;
    impl_->echo.join();
    delete impl_;
}

struct Child::Impl {
    test::Process process;
    explicit Impl(const std::vector<std::string>& argv) : process(argv) {}
};

static std::vector<std::string> RoleArgv(const std::vector<std::string>& roleArgs) {
    std::vector<std::string> argv = {test::Program("kesta-contract-test"), "--role"};
    argv.insert(argv.end(), roleArgs.begin(), roleArgs.end());
    return argv;
}

Child::Child(const std::vector<std::string>& roleArgs) : impl_(new Impl(RoleArgv(roleArgs))) {}
Child::~Child() { delete impl_; }
int Child::Wait(int timeoutMs) { return impl_->process.Wait(timeoutMs); }
void Child::Kill() { impl_->process.Signal(SIGKILL); }
std::string Child::Err() { return impl_->process.Err(); }

}  // namespace contract

// Runs a role before the test entry looks at the command line.
extern "C" int KestaTestRole(int argc, char** argv) { return contract::Role(argc, argv); }
