// Process start-up on Linux: hands the four start arguments to AppMain, and
// turns SIGTERM and SIGINT into the destruction of the process's top-level
// windows, so that a service manager's stop runs WM_DESTROY and the process
// ends with AppMain's exit code.
#include "internal.h"

#include <csignal>
#include <ctime>
#include <string>
#include <thread>
#include <unistd.h>

int main(int argc, char** argv) {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    // Blocked here, before any thread starts, so that every thread inherits
    // the mask and only the waiter below takes these signals.
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
    std::thread([stop] {
        for (;;) {
            int sig = 0;
            if (sigwait(&stop, &sig) != 0) continue;
            if (kp::AnyTopLevel())
                kp::DestroyRequestAllTopLevel();
            else
                _exit(128 + sig);  // nothing to destroy yet
        }
    }).detach();

    // The time zone is read once here: the first local time after start-up
    // must not load it (it allocates).
    tzset();
    time_t now = time(nullptr);
    tm local;
    localtime_r(&now, &local);

    std::wstring commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) commandLine += L' ';
        commandLine += kp::FromUtf8(argv[i]);
    }
    return AppMain(GetModuleHandle(nullptr), nullptr, &commandLine[0], SW_SHOW);
}
