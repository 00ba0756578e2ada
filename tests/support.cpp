#include "support.h"
#include "tools/byte_path.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace test {

TempRoot::TempRoot(bool dataStorage) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kesta-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data())) abort();
    path_ = buf.data();
    if (dataStorage) mkdir((path_ + "/DataStorage").c_str(), 0755);
    setenv("KESTA_GPS_ROOT", path_.c_str(), 1);
    unsetenv("KESTA_GPS_CLOCK");
}

TempRoot::~TempRoot() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

Pty::Pty() {
    char name[256];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) abort();
    slavePath_ = name;
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    // The master is read and written without blocking the test.
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    setenv("KESTA_GPS_COM1", slavePath_.c_str(), 1);
}

Pty::~Pty() {
    CloseMaster();
    if (slave_ >= 0) close(slave_);
}

void Pty::CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
}

void Pty::Write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += (size_t)n;
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p = {master_, POLLOUT, 0};
            poll(&p, 1, 100);
        } else {
            return;
        }
    }
}

std::string Pty::Read(size_t count, int timeoutMs) {
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < count) {
        char buf[4096];
        ssize_t n = read(master_, buf, std::min(sizeof buf, count - out.size()));
        if (n > 0) {
            out.append(buf, (size_t)n);
            continue;
        }
        int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                       deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd p = {master_, POLLIN, 0};
        poll(&p, 1, std::min(left, 50));
    }
    return out;
}

std::string Pty::Drain(int timeoutMs) { return Read((size_t)-1 / 2, timeoutMs); }

StderrCapture::StderrCapture() {
    char name[] = "/tmp/kesta-stderr-XXXXXX";
    int fd = mkstemp(name);
    path_ = name;
    fflush(stderr);
    saved_ = dup(2);
    dup2(fd, 2);
    close(fd);
}

StderrCapture::~StderrCapture() {
    fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    unlink(path_.c_str());
}

std::string StderrCapture::Text() const { return ReadFile(path_); }

std::vector<MSG>& Recorded() {
    static std::vector<MSG> seen;
    return seen;
}

static LRESULT CALLBACK RecordProc(HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
    MSG m = {};
    m.hwnd = hwnd;
    m.message = msg;
    m.wParam = w;
    m.lParam = l;
    Recorded().push_back(m);
    return DefWindowProc(hwnd, msg, w, l);
}

HWND MakeRecorder(HWND parent) {
    static bool registered = false;
    if (!registered) {
        WNDCLASS wc = {};
        wc.lpfnWndProc = RecordProc;
        wc.lpszClassName = L"RECORD";
        RegisterClass(&wc);
        registered = true;
    }
    return CreateWindowEx(0, L"RECORD", L"rec", parent ? WS_CHILD : 0, 0, 0, 0, 0, parent, 0, 0, 0);
}

std::vector<MSG> RecordedOf(UINT msg) {
    std::vector<MSG> out;
    for (const MSG& m : Recorded())
        if (m.message == msg) out.push_back(m);
    return out;
}

std::string CaptureTestName(const char* capture) {
    std::string n = capture;
    for (char& c : n) {
        if (!isalnum((unsigned char)c)) c = '_';
    }
    return n;
}

void Pump() { PumpMessages(); }

bool WaitFor(const std::function<bool()>& done, int timeoutMs, bool pump) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (pump) Pump();
        if (done()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool MakeFullPipe(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    fcntl(fds[1], F_SETPIPE_SZ, 4096);
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    std::string filler(4096, 'f');
    while (write(fds[1], filler.data(), filler.size()) > 0) {
    }
    fcntl(fds[1], F_SETFL, 0);
    return true;
}

bool ReadUntil(int fd, std::string* text, const std::string& want, int timeoutMs) {
    fcntl(fd, F_SETFL, O_NONBLOCK);
    return WaitFor([&] {
        char buf[65536];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) text->append(buf, (size_t)n);
        return text->find(want) != std::string::npos;
    }, timeoutMs, false);
}

void ServedBefore() {
    std::string platform = std::string(getenv("KESTA_GPS_ROOT")) + "/.platform";
    mkdir(platform.c_str(), 0700);
    mkdir((platform + "/ipc").c_str(), 0700);
}

bool WaitForListedWindow(long pid, int timeoutMs) {
    const char* root = getenv("KESTA_GPS_ROOT");
    std::string dir = std::string(root ? root : "") + "/.platform/win";
    std::string prefix = std::to_string(pid) + "-";
    return WaitFor([&] {
        std::error_code ec;
        for (auto& e : fs::directory_iterator(dir, ec)) {
            std::string name = e.path().filename().string();
            if (name.compare(0, prefix.size(), prefix) == 0 && name.find(".tmp") == std::string::npos) return true;
        }
        return false;
    }, timeoutMs, false);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string CapturePath(const std::string& name) {
    const char* dir = getenv("KESTA_GPS_DATA");
    return std::string(dir && *dir ? dir : KESTA_DATA_DIR) + "/" + name;
}

std::string Capture(const std::string& name) {
    std::string path = CapturePath(name);
    std::string data = ReadFile(path);
    // Thrown so that the test fails naming the file, not aborts.
    if (data.empty()) throw std::runtime_error("cannot read capture " + path);
    return data;
}

std::string Sentence(const std::string& body) { return NmeaSentence(body); }

std::string Tagged(int colour, const std::string& text) {
    return "\33[" + std::to_string(colour) + "m [KESTA_GPS] " + text + " \33[0m\r\n";
}

std::string FromHex(const std::string& hex) {
    std::string out;
    std::istringstream in(hex);
    std::string byte;
    while (in >> byte) out += (char)strtol(byte.c_str(), nullptr, 16);
    return out;
}

std::string ExpectedFrame(const std::string& name) {
    std::istringstream in(ReadFile(KESTA_SOURCE_DIR "/tests/data/ubx-frames.txt"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, name.size() + 1, name + " ") == 0) return FromHex(line.substr(name.size() + 1));
    }
    throw std::runtime_error("no frame " + name + " in tests/data/ubx-frames.txt");
}

std::unique_ptr<Process> StartService(std::vector<std::string> command) {
    if (command.empty()) command.push_back(Program("kesta-gps"));
    auto service = std::make_unique<Process>(command);
    Process* p = service.get();
    EXPECT_TRUE(WaitFor([p] { return p->Err().find("GPSThread START") != std::string::npos; }, 10000, false))
        << p->Err();
    EXPECT_TRUE(WaitForListedWindow(p->pid())) << p->Err();
    return service;
}

std::string StartSim(std::unique_ptr<Process>* sim, std::vector<std::string> args) {
    args.insert(args.begin(), Program("kesta-gps-sim"));
    *sim = std::make_unique<Process>(args);
    Process* p = sim->get();
    EXPECT_TRUE(WaitFor([p] { return p->Out().find('\n') != std::string::npos; }, 5000, false)) << p->Err();
    std::string first = p->Out().substr(0, p->Out().find('\n'));
    EXPECT_EQ(first.compare(0, 7, "device "), 0) << first;
    if (first.compare(0, 7, "device ") != 0) return "";
    std::string device = first.substr(7);
    setenv("KESTA_GPS_COM1", device.c_str(), 1);
    return device;
}

std::vector<std::pair<std::string, unsigned>> MessageNumberVectors() {
    std::istringstream in(ReadFile(KESTA_SOURCE_DIR "/tests/data/message-numbers.txt"));
    std::vector<std::pair<std::string, unsigned>> out;
    std::string line, name, hash, number;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        fields >> name >> hash >> number;
        out.push_back({name, (unsigned)strtoul(number.c_str(), nullptr, 16)});
    }
    return out;
}

size_t CountOf(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + needle.size())) ++n;
    return n;
}

double JsonNumber(const std::string& json, const std::string& key, bool* present) {
    // Accepts both "key": value and "key":value.
    size_t at = json.find("\"" + key + "\":");
    *present = false;
    if (at == std::string::npos) return 0.0;
    at += key.size() + 3;
    while (at < json.size() && json[at] == ' ') ++at;
    if (json.compare(at, 4, "null") == 0) return 0.0;
    *present = true;
    return atof(json.c_str() + at);
}

std::string JsonText(const std::string& json, const std::string& key) {
    size_t at = json.find("\"" + key + "\":");
    if (at == std::string::npos) return "";
    at = json.find('"', at + key.size() + 3);
    if (at == std::string::npos) return "";
    ++at;
    return json.substr(at, json.find('"', at) - at);
}

std::string Program(const std::string& name) { return std::string(KESTA_BUILD_DIR) + "/" + name; }

}  // namespace test

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace test {

std::vector<std::string> WithEmulator(const std::vector<std::string>& argv) {
    const char* emulator = getenv("KESTA_TEST_EMULATOR");
    std::string ours = std::string(KESTA_BUILD_DIR) + "/";
    if (!emulator || !*emulator || argv.empty() || argv[0].compare(0, ours.size(), ours) != 0) return argv;
    std::vector<std::string> out;
    std::istringstream words(emulator);
    for (std::string w; words >> w;) out.push_back(w);
    if (!out.empty() && out[0].find('/') == std::string::npos) {
        // posix_spawn takes a path: look the emulator up once.
        for (const char* dir : {"/usr/bin/", "/usr/local/bin/", "/bin/"})
            if (access((std::string(dir) + out[0]).c_str(), X_OK) == 0) {
                out[0] = dir + out[0];
                break;
            }
    }
    out.insert(out.end(), argv.begin(), argv.end());
    return out;
}

Process::Process(const std::vector<std::string>& given) {
    std::vector<std::string> argv = WithEmulator(given);
    char outName[] = "/tmp/kesta-out-XXXXXX", errName[] = "/tmp/kesta-err-XXXXXX";
    int out = mkstemp(outName), err = mkstemp(errName);
    out_ = outName;
    err_ = errName;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, err, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
    pid_ = pid;
    posix_spawn_file_actions_destroy(&actions);
    close(out);
    close(err);
}

Process::~Process() {
    if (Running()) {
        kill(pid_, SIGKILL);
        Wait(5000);
    }
    unlink(out_.c_str());
    unlink(err_.c_str());
}

std::string Process::Out() const { return ReadFile(out_); }
std::string Process::Err() const { return ReadFile(err_); }

int Process::Wait(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (status_ < 0) {
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            break;
        }
        if (r < 0 || std::chrono::steady_clock::now() > deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
}

bool Process::Running() { return pid_ > 0 && Wait(0) < 0; }

void Process::Signal(int sig) {
    if (Running()) kill(pid_, sig);
}

double Process::CpuSeconds() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string f;
    long utime = 0, stime = 0;
    for (int i = 3; fields >> f; ++i) {
        if (i == 14) utime = atol(f.c_str());
        if (i == 15) {
            stime = atol(f.c_str());
            break;
        }
    }
    return (double)(utime + stime) / sysconf(_SC_CLK_TCK);
}

}  // namespace test
