// Helpers shared by the tests: a private platform root per test, a real
// pseudo-terminal for the serial port, captured debug output, message
// pumping and waiting on conditions with a deadline.
#pragma once

#include "app/platform/platform.h"
#include "tools/frames.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace test {

// A fresh platform root (KESTA_GPS_ROOT) for this test process, removed at
// the end. With dataStorage, the "\DataStorage" folder exists in it.
class TempRoot {
public:
    explicit TempRoot(bool dataStorage = true);
    ~TempRoot();
    const std::string& path() const { return path_; }
    std::string File(const std::string& relative) const { return path_ + "/" + relative; }

private:
    std::string path_;
};

// A pseudo-terminal pair; the slave's path goes into KESTA_GPS_COM1.
class Pty {
public:
    Pty();
    ~Pty();
    const std::string& slavePath() const { return slavePath_; }
    int master() const { return master_; }
    void Write(const std::string& bytes);
    // Reads what the other side wrote, until `count` bytes or the deadline.
    std::string Read(size_t count, int timeoutMs);
    // Everything that arrives within `timeoutMs`.
    std::string Drain(int timeoutMs);
    void CloseMaster();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

// Redirects fd 2 into a file while alive; Text() gives what was written.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    std::string Text() const;

private:
    int saved_ = -1;
    std::string path_;
};

// Windows of the class "RECORD" keep every message they are given, in order.
std::vector<MSG>& Recorded();
HWND MakeRecorder(HWND parent = 0);
std::vector<MSG> RecordedOf(UINT msg);
// A test name from a capture's name.
std::string CaptureTestName(const char* capture);

// Dispatches the calling thread's posted messages until none is left.
void Pump();
// Pumps and polls `done` until it holds or `timeoutMs` passes.
bool WaitFor(const std::function<bool()>& done, int timeoutMs = 5000, bool pump = true);

// A pipe whose write end (fds[1], blocking) is full: the next write waits
// until somebody reads fds[0].
bool MakeFullPipe(int fds[2]);
// Reads fd (made non-blocking) into *text until `want` shows up or the
// deadline passes; true when it showed up.
bool ReadUntil(int fd, std::string* text, const std::string& want, int timeoutMs);
// Waits until process pid has a top-level window listed for other processes
// (FindWindow, the broadcast) under the current platform root: the service's
// start-up is over then. "GPSThread START" is logged before that, inside the
// main window's creation.
bool WaitForListedWindow(long pid, int timeoutMs = 20000);
// The state folders a service leaves on $KESTA_GPS_ROOT when it first runs:
// a listener started on a root without them is refused.
void ServedBefore();
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
// A capture from tests/data/captures (or $KESTA_GPS_DATA); throws naming
// the path when it cannot be read.
std::string Capture(const std::string& name);
std::string CapturePath(const std::string& name);
// "$<body>*HH\r\n" with the right checksum.
std::string Sentence(const std::string& body);
// The colour-tagged line DebugLog writes for `text`.
std::string Tagged(int colour, const std::string& text);
std::string FromHex(const std::string& hex);
// A frame the service sends the receiver, by its name in
// tests/data/ubx-frames.txt ("poll-version", "set-ana-enable", ...); throws
// naming the frame when it is not there.
std::string ExpectedFrame(const std::string& name);
// tests/data/message-numbers.txt: each name (UTF-8) with its message number.
std::vector<std::pair<std::string, unsigned>> MessageNumberVectors();
// Number of non-overlapping occurrences of `needle`.
size_t CountOf(const std::string& hay, const std::string& needle);
// A number or text value of `key` in a flat JSON line; *present is false for
// a missing key or null.
double JsonNumber(const std::string& json, const std::string& key, bool* present);
std::string JsonText(const std::string& json, const std::string& key);
// Path of a built program (kesta-gps, kesta-gps-sim, ...).
std::string Program(const std::string& name);
// A command line of one of those programs as it must be started: behind the
// emulator named by KESTA_TEST_EMULATOR ("qemu-arm -L /usr/arm-linux-gnueabihf")
// where the kernel cannot start a cross build's programs itself. Other
// programs are left as they are. Process applies it.
std::vector<std::string> WithEmulator(const std::vector<std::string>& argv);

}  // namespace test

namespace test {

// A child process with its standard output and error in files; the
// environment is this process's (KESTA_GPS_ROOT, KESTA_GPS_COM1 included).
class Process {
public:
    explicit Process(const std::vector<std::string>& argv);
    ~Process();  // kills the child if it still runs
    int pid() const { return pid_; }
    std::string Out() const;
    std::string Err() const;
    // Exit code, 128 + signal, or -1 when it still runs after timeoutMs.
    int Wait(int timeoutMs);
    bool Running();
    void Signal(int sig);
    // CPU seconds (user + system) the child has used so far.
    double CpuSeconds() const;

private:
    int pid_ = -1;
    int status_ = -1;
    std::string out_, err_;
};

// The service (command, default the built kesta-gps) started in the
// current root, once its reader thread has started and its main window is
// listed to other processes; a failure to get there is a test failure.
std::unique_ptr<Process> StartService(std::vector<std::string> command = {});
// The simulated receiver started with args; its device, also set as
// KESTA_GPS_COM1 for what is started next ("" and a test failure when it
// names none).
std::string StartSim(std::unique_ptr<Process>* sim, std::vector<std::string> args);

}  // namespace test
