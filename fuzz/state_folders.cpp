// libFuzzer harness of what the backend reads from folders other programs of
// the user can write: the window registry (.platform/win: entry names and
// their class and title text) and the listeners' folder (.platform/ipc:
// names to pids, with the aliases a sign, a blank or a leading zero make,
// sockets or anything else in their place), connections to the listener
// group's socket, the device names a caller maps ("COMn:", "\A\B"),
// and the environment's root and device values. Each input lays out a few
// entries in a fresh state folder, then FindWindow looks for a window, a
// broadcast goes out, and names are mapped. Nothing may crash or block.
#include "app/platform/posix/internal.h"

#include <cstdio>
#include <fcntl.h>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

std::string g_root;
int g_sockets[8];
int g_socketCount = 0;

// Reads the input a field at a time; past its end every field is empty.
struct Reader {
    const uint8_t* p;
    size_t n;
    uint8_t Byte() {
        if (!n) return 0;
        --n;
        return *p++;
    }
    std::string Text(size_t max) {
        size_t len = Byte() % (max + 1);
        if (len > n) len = n;
        std::string s((const char*)p, len);
        p += len;
        n -= len;
        return s;
    }
};

// A name safe to make in one folder: no '/', no NUL, not "." or "..".
std::string EntryName(std::string s) {
    for (char& c : s)
        if (c == '/' || c == 0) c = '_';
    if (s.empty() || s == "." || s == "..") s = "x" + s;
    return s;
}

void Clear(const std::string& dir) {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_root = "/dev/shm/kesta-fuzz-state-" + std::to_string(getpid());
    if (access("/dev/shm", W_OK) != 0) g_root = "/tmp/kesta-fuzz-state-" + std::to_string(getpid());
    mkdir(g_root.c_str(), 0700);
    setenv("KESTA_GPS_ROOT", g_root.c_str(), 1);
    // This process's own group stands for the listener group.
    char why[256];
    if (!kp::IpcOpenToGroup(std::to_string(getgid()).c_str(), true, why, sizeof why)) {
        fprintf(stderr, "cannot open the listeners' folder: %s\n", why);
        abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in = {data, size};
    std::string state = g_root + "/.platform";
    mkdir(state.c_str(), 0700);
    mkdir((state + "/win").c_str(), 0700);
    mkdir((state + "/ipc").c_str(), 0700);
    int entries = in.Byte() % 8;
    for (int i = 0; i < entries; ++i) {
        uint8_t kind = in.Byte();
        std::string folder = state + ((kind & 1) ? "/ipc/" : "/win/");
        // A pid of a live process of ours (this one) now and then, or an
        // alias of it.
        static const char* const kAliases[] = {"", "0", "+", " ", "-"};
        std::string name = (kind & 2) ? kAliases[(kind >> 4) % 5] + std::to_string(getpid()) + in.Text(24)
                                      : EntryName(in.Text(40));
        name = EntryName(name);
        std::string path = folder + name;
        std::string content = in.Text(200);
        switch ((kind >> 2) % 4) {
        case 0: {
            // Never through something an earlier entry made at this name.
            int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd >= 0) {
                if (write(fd, content.data(), content.size()) < 0) abort();
                close(fd);
            }
            break;
        }
        case 1:
            mkfifo(path.c_str(), 0600);
            break;
        case 2:
            mkdir(path.c_str(), 0700);
            break;
        case 3: {
            if (g_socketCount == 8) break;
            int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_un a = {};
            a.sun_family = AF_UNIX;
            if (fd >= 0 && path.size() < sizeof a.sun_path) {
                memcpy(a.sun_path, path.c_str(), path.size() + 1);
                if (bind(fd, (sockaddr*)&a, sizeof a) == 0) {
                    g_sockets[g_socketCount++] = fd;
                    break;
                }
            }
            if (fd >= 0) close(fd);
            break;
        }
        }
    }
    // A member connected to the group's socket, reading or not.
    int member = -1;
    if (in.Byte() & 1) {
        member = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        snprintf(a.sun_path, sizeof a.sun_path, "%s/listen.sock", state.c_str());
        if (member >= 0) connect(member, (sockaddr*)&a, sizeof a);
    }
    std::string cls = in.Text(16), title = in.Text(16);
    std::wstring wcls = kp::FromUtf8(cls), wtitle = kp::FromUtf8(title);
    FindWindow(cls.empty() ? nullptr : wcls.c_str(), title.empty() ? nullptr : wtitle.c_str());
    PostMessage(HWND_BROADCAST, 0xC123, 1, 2);
    std::string device = in.Text(32);
    std::wstring wdevice = kp::FromUtf8(device);
    kp::Path mapped;
    bool comm = false;
    kp::MapPath(wdevice.c_str(), &mapped, &comm);
    // The environment: a device for COM1 and a root, whatever their bytes
    // (mapping reads them and makes nothing).
    std::string com = in.Text(64), root = in.Text(200);
    setenv("KESTA_GPS_COM1", com.c_str(), 1);
    kp::MapPath(L"COM1:", &mapped, &comm);
    setenv("KESTA_GPS_ROOT", root.c_str(), 1);
    kp::MapPath(L"\\DataStorage\\BackupTime", &mapped, &comm);
    kp::RootPath(&mapped);
    setenv("KESTA_GPS_ROOT", g_root.c_str(), 1);
    if (member >= 0) close(member);
    for (int i = 0; i < g_socketCount; ++i) close(g_sockets[i]);
    g_socketCount = 0;
    Clear(state);
    return 0;
}
