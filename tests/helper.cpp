// A second process for the platform's cross-process tests.
//   kesta-test-helper regmsg NAME...   prints each name's message number
//   kesta-test-helper mutex NAME       creates the mutex, prints the last
//                                      error, then holds it until killed
//   kesta-test-helper nand-read AREA   ReadNandArea(AREA): 0 when it worked
//   kesta-test-helper flood NAME RATE  posts the registered message NAME to
//                                      the service's main window RATE times a
//                                      second, in rounds of 10 ms, until killed
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

static std::wstring Wide(const char* s) { return std::wstring(s, s + strlen(s)); }

int main(int argc, char** argv) {
    if (argc >= 3 && !strcmp(argv[1], "regmsg")) {
        for (int i = 2; i < argc; ++i) printf("%u\n", RegisterWindowMessage(Wide(argv[i]).c_str()));
        return 0;
    }
    if (argc == 3 && !strcmp(argv[1], "mutex")) {
        HANDLE h = CreateMutex(nullptr, FALSE, Wide(argv[2]).c_str());
        printf("%lu %u\n", (unsigned long)(h != 0), GetLastError());
        fflush(stdout);
        for (;;) pause();
    }
    if (argc == 3 && !strcmp(argv[1], "nand-read")) return ReadNandArea((DWORD)atoi(argv[2])) ? 0 : 1;
    if (argc == 4 && !strcmp(argv[1], "flood")) {
        UINT msg = RegisterWindowMessage(Wide(argv[2]).c_str());
        int perRound = atoi(argv[3]) / 100;
        HWND target = 0;
        while (!(target = FindWindow(L"KESTA_GPS", L"KESTA_GPS"))) Sleep(10);
        printf("flooding\n");
        fflush(stdout);
        for (unsigned long posted = 0, refused = 0;; Sleep(10))
            for (int i = 0; i < perRound; ++i) PostMessage(target, msg, posted++, 0) ? 0 : ++refused;
    }
    fprintf(stderr, "usage: kesta-test-helper regmsg NAME... | mutex NAME | nand-read AREA | flood NAME RATE\n");
    return 2;
}
