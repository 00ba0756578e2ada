// kesta-gps-sim: a simulated u-blox 7 receiver on the other end of a
// pseudo-terminal.
//
// It creates a pseudo-terminal and prints "device <slave path>" as its first
// line: hand that path to the service as KESTA_GPS_COM1. It sends nothing
// until the other end has set the line to its baud rate (the service does so
// when it opens the port), then logs "port open" and behaves like the
// receiver: an NMEA cycle once a second (a void phase, then a fix that
// moves), or the replay of a capture; the MON-VER report in answer to the
// version poll; ACK-ACK, or ACK-NAK for the chosen configuration steps (1, 2,
// 3 in the order received), for every CFG frame. A replay carries the
// receiver's own answers, so it answers nothing unless --answer is given.
//
// Bytes leave as a UART sends them: at the line rate (baud / 10 bytes a
// second), handed to the pseudo-terminal a few at a time (--chunk, a receive
// FIFO's 14 by default), so the service wakes in the middle of sentences as
// it does on hardware. --whole hands each sentence or frame over at once when
// the line would have carried its last byte.
//
// Every frame it receives is checked and logged on stdout:
//   rx class=06 id=23 len=40 ck=ok bytes=B5 62 06 23 ...
// every answer as "tx ...", and every RMC sentence sent as "tx rmc $GPRMC,...".
#include "args.h"
#include "frames.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <set>
#include <sstream>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

struct Options {
    std::string hardware = "00070000";
    std::set<int> nakSteps;
    int voidCycles = 5;
    time_t start = 0;
    std::string replay;
    double speedup = 1.0;
    double seconds = 0;
    int baud = 9600;
    bool answer = true;  // a replay holds the receiver's own answers
    int chunk = 14;      // bytes per hand-over; 0 for whole sentences
    bool waitOpen = true;
};

int g_master = -1;
Options g_opt;
Clock::time_point g_lineFree;  // when the line can take the next byte
long g_txBytes = 0;

void Log(const std::string& line) {
    printf("%s\n", line.c_str());
    fflush(stdout);
}

void SleepUntil(Clock::time_point when) {
    while (!g_stop && Clock::now() < when) {
        auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(when - Clock::now()).count();
        timespec ts = {(time_t)(left / 1000000000), (long)(left % 1000000000)};
        nanosleep(&ts, nullptr);
    }
}

// Hands bytes to the pseudo-terminal; false once nobody reads any more.
bool Emit(const char* data, size_t size) {
    for (size_t at = 0; at < size;) {
        ssize_t w = write(g_master, data + at, size - at);
        if (w < 0 && errno == EAGAIN) {
            pollfd p = {g_master, POLLOUT, 0};
            if (poll(&p, 1, 200) <= 0) return false;  // nobody reads: drop the rest
            continue;
        }
        if (w <= 0) return false;  // nobody on the other end any more
        at += (size_t)w;
        g_txBytes += w;
    }
    return true;
}

// Writes at the line's pace: one byte takes 10 bit times (8N1), and no byte
// is handed over before the line could have brought it. A chunk leaves when
// its last byte would have arrived, as a receiving UART's FIFO presents it.
void Send(const std::string& bytes) {
    auto perByte = std::chrono::nanoseconds(10LL * 1000000000LL / g_opt.baud);
    auto now = Clock::now();
    if (g_lineFree < now) g_lineFree = now;
    size_t step = g_opt.chunk > 0 ? (size_t)g_opt.chunk : bytes.size();
    for (size_t at = 0; at < bytes.size() && !g_stop; at += step) {
        size_t n = std::min(step, bytes.size() - at);
        g_lineFree += perByte * (long)n;
        SleepUntil(g_lineFree);
        if (!Emit(bytes.data() + at, n)) return;
    }
}

// MON-VER: software version[30], hardware version[10], extensions[30] each.
std::string MonVer() {
    std::string payload(40, '\0');
    std::string sw = "1.00 (59842)";
    payload.replace(0, sw.size(), sw);
    payload.replace(30, std::min<size_t>(g_opt.hardware.size(), 9), g_opt.hardware.substr(0, 9));
    for (std::string ext : {"PROTVER 14.00", "GPS;SBAS;GLO;QZSS"}) {
        ext.resize(30, '\0');
        payload += ext;
    }
    return UbxFrame(0x0A, 0x04, payload);
}

// ---- What the service sends us ----
std::string g_rx;
int g_cfgSteps = 0;

void HandleFrame(const std::string& f) {
    int cls = (unsigned char)f[2], id = (unsigned char)f[3];
    size_t len = (unsigned char)f[4] | ((unsigned char)f[5] << 8);
    bool ok = UbxChecksum(f, 2, 6 + len) == f.substr(6 + len, 2);
    char head[64];
    snprintf(head, sizeof head, "rx class=%02X id=%02X len=%zu ck=%s bytes=", cls, id, len, ok ? "ok" : "bad");
    Log(head + Hex(f));
    if (!ok || !g_opt.answer) return;
    if (cls == 0x0A && id == 0x04 && len == 0) {
        Log("tx mon-ver hw=" + g_opt.hardware);
        Send(MonVer());
    } else if (cls == 0x06) {
        ++g_cfgSteps;
        bool nak = g_opt.nakSteps.count(g_cfgSteps) > 0;
        std::string ack = UbxFrame(0x05, nak ? 0x00 : 0x01, std::string{(char)cls, (char)id});
        char line[64];
        snprintf(line, sizeof line, "tx %s class=%02X id=%02X step=%d", nak ? "ack-nak" : "ack-ack", cls, id,
                 g_cfgSteps);
        Log(line);
        Send(ack);
    }
}

// Reads what the service wrote and takes whole UBX frames out of it.
void Receive() {
    char buf[512];
    for (;;) {
        ssize_t n = read(g_master, buf, sizeof buf);
        if (n <= 0) break;
        g_rx.append(buf, (size_t)n);
    }
    for (;;) {
        size_t sync = g_rx.find("\xB5\x62");
        if (sync == std::string::npos) {
            // Keep a possible first sync byte, and short tails that may
            // still be followed by a frame.
            size_t keep = (!g_rx.empty() && g_rx.back() == '\xB5') ? 1 : 0;
            if (g_rx.size() - keep > 0 && g_rx.size() > 2) {
                Log("rx other bytes=" + Hex(g_rx.substr(0, g_rx.size() - keep)));
                g_rx.erase(0, g_rx.size() - keep);
            }
            return;
        }
        if (sync > 0) Log("rx other bytes=" + Hex(g_rx.substr(0, sync)));  // the poll's CR LF
        g_rx.erase(0, sync);
        if (g_rx.size() < 6) return;
        size_t len = (unsigned char)g_rx[4] | ((unsigned char)g_rx[5] << 8);
        if (g_rx.size() < 8 + len) return;
        HandleFrame(g_rx.substr(0, 8 + len));
        g_rx.erase(0, 8 + len);
    }
}

// Sleeps until `until`, answering the service meanwhile.
void WaitServing(Clock::time_point until) {
    while (!g_stop && Clock::now() < until) {
        int ms = (int)std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        pollfd p = {g_master, POLLIN, 0};
        int r = poll(&p, 1, std::max(1, std::min(ms, 100)));
        if (r > 0 && (p.revents & POLLIN)) Receive();
        else if (r > 0) {
            // The other side is not open (yet, or any more): nothing to read.
            timespec ts = {0, 20 * 1000000};
            nanosleep(&ts, nullptr);
        }
    }
}

// ---- The NMEA cycle of a simulated drive ----
std::vector<std::string> Cycle(long n, time_t t) {
    tm u;
    gmtime_r(&t, &u);
    char hms[16], date[16];
    strftime(hms, sizeof hms, "%H%M%S.00", &u);
    strftime(date, sizeof date, "%d%m%y", &u);
    std::vector<std::string> out;
    if (n < g_opt.voidCycles) {
        out.push_back(NmeaSentence(std::string("GPRMC,") + hms + ",V,,,,,,," + date + ",,,N"));
        out.push_back(NmeaSentence("GPVTG,,,,,,,,,N"));
        out.push_back(NmeaSentence(std::string("GPGGA,") + hms + ",,,,,0,00,99.99,,,,,,"));
        out.push_back(NmeaSentence("GPGSA,A,1,,,,,,,,,,,,,99.99,99.99,99.99"));
        out.push_back(NmeaSentence("GPGSV,1,1,00"));
        out.push_back(NmeaSentence(std::string("GPGLL,,,,,") + hms + ",V,N"));
        return out;
    }
    long k = n - g_opt.voidCycles;
    double knots = 12.0 + 8.0 * std::sin(k / 7.0);          // 4 .. 20 knots
    double course = std::fmod(90.0 + 3.0 * k, 360.0);
    double lat = 48.1173 + 0.00005 * k, lon = 11.5167 + 0.00007 * k;
    auto coord = [](double deg, int width) {
        double a = std::fabs(deg);
        int d = (int)a;
        char buf[32];
        snprintf(buf, sizeof buf, "%0*d%08.5f", width, d, (a - d) * 60.0);
        return std::string(buf);
    };
    char rmc[160], vtg[96], gga[128], gll[96];
    snprintf(rmc, sizeof rmc, "GPRMC,%s,A,%s,N,%s,E,%.3f,%.2f,%s,,,A", hms, coord(lat, 2).c_str(),
             coord(lon, 3).c_str(), knots, course, date);
    snprintf(vtg, sizeof vtg, "GPVTG,%.2f,T,,M,%.3f,N,%.3f,K,A", course, knots, knots * 1.852);
    snprintf(gga, sizeof gga, "GPGGA,%s,%s,N,%s,E,1,08,1.01,520.3,M,46.9,M,,", hms, coord(lat, 2).c_str(),
             coord(lon, 3).c_str());
    snprintf(gll, sizeof gll, "GPGLL,%s,N,%s,E,%s,A,A", coord(lat, 2).c_str(), coord(lon, 3).c_str(), hms);
    out.push_back(NmeaSentence(rmc));
    out.push_back(NmeaSentence(vtg));
    out.push_back(NmeaSentence(gga));
    out.push_back(NmeaSentence("GPGSA,A,3,02,05,12,13,15,18,24,25,,,,,1.85,1.01,1.55"));
    out.push_back(NmeaSentence("GPGSV,2,1,08,02,45,300,38,05,22,047,30,12,65,210,42,13,12,120,28"));
    out.push_back(NmeaSentence("GPGSV,2,2,08,15,30,180,35,18,55,080,40,24,18,260,31,25,40,320,36"));
    out.push_back(NmeaSentence(gll));
    return out;
}

void LogRmc(const std::string& sentence) {
    if (sentence.compare(0, 6, "$GPRMC") != 0) return;
    size_t end = sentence.find_first_of("\r\n");
    Log("tx rmc " + sentence.substr(0, end));
}

int RunDrive(Clock::time_point end) {
    time_t t = g_opt.start ? g_opt.start : time(nullptr);
    auto next = Clock::now();
    for (long n = 0; !g_stop && (g_opt.seconds <= 0 || Clock::now() < end); ++n, ++t) {
        for (const std::string& sentence : Cycle(n, t)) {
            LogRmc(sentence);
            Send(sentence);
            Receive();
        }
        next += std::chrono::seconds(1);
        WaitServing(next);
    }
    return 0;
}

// A capture replayed line by line; a new cycle (an RMC sentence) waits for
// the next second, divided by the speed-up.
int RunReplay(Clock::time_point end) {
    std::string data = ReadInput("kesta-gps-sim", g_opt.replay.c_str());
    auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / g_opt.speedup));
    auto next = Clock::now();
    bool first = true;
    for (size_t at = 0; at < data.size() && !g_stop;) {
        size_t lf = data.find('\n', at);
        size_t end_ = lf == std::string::npos ? data.size() : lf + 1;
        std::string line = data.substr(at, end_ - at);
        if (line.compare(0, 6, "$GPRMC") == 0 || line.compare(0, 6, "$GNRMC") == 0) {
            if (!first) {
                next += period;
                WaitServing(next);
            }
            first = false;
        }
        LogRmc(line);
        Send(line);
        Receive();
        at = end_;
    }
    Log("replay done");
    // Keep answering for a while: the service may still configure.
    WaitServing(g_opt.seconds > 0 ? end : Clock::now() + std::chrono::seconds(3));
    return 0;
}

// "YYYY-MM-DDTHH:MM:SS" as UTC; -1 when it is not a real date and time.
time_t ParseTime(const char* s) {
    tm t = {};
    char tail = 0;
    if (sscanf(s, "%4d-%2d-%2dT%2d:%2d:%2d%c", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec,
               &tail) != 6)
        return -1;
    tm want = t;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    time_t v = timegm(&t);
    // timegm folds a day 45 into the next month: a date it had to move was
    // not a real one. RMC dates carry two year digits, 2000 to 2099.
    if (t.tm_year + 1900 != want.tm_year || t.tm_mon + 1 != want.tm_mon || t.tm_mday != want.tm_mday ||
        t.tm_hour != want.tm_hour || t.tm_min != want.tm_min || t.tm_sec != want.tm_sec || want.tm_year < 2000 ||
        want.tm_year > 2099)
        return -1;
    return v;
}

// Sleeps until the other end has set the line to our baud rate, which the
// service does when it opens the port: what a receiver sends before then is
// lost on a real line too, and a test or a replay wants all of it seen.
void WaitForOpen(int slave, speed_t want) {
    for (;;) {
        termios t;
        if (tcgetattr(slave, &t) == 0 && cfgetospeed(&t) == want) break;
        if (g_stop) return;
        timespec ts = {0, 10 * 1000000};
        nanosleep(&ts, nullptr);
    }
    Log("port open");
}

speed_t SpeedOf(int baud) {
    switch (baud) {
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    default: return B115200;
    }
}

const char* kUsage =
    "usage: kesta-gps-sim [options]\n"
    "A simulated u-blox 7 receiver on a pseudo-terminal; the first line printed is \"device PATH\".\n"
    "  --hw 00070000|00040007|00080000  hardware version in the MON-VER answer (default 00070000)\n"
    "  --nak STEP,...     answer these configuration steps (1-3) with ACK-NAK\n"
    "  --void N           void cycles before the fix (0-86400, default 5)\n"
    "  --time YYYY-MM-DDTHH:MM:SS  UTC time of the first cycle, 2000-2099 (default now)\n"
    "  --replay FILE      send a capture instead, one RMC cycle a second\n"
    "  --speedup N        replay N times faster (0.01-1000, default 1)\n"
    "  --answer           answer the service during a replay too\n"
    "  --seconds N        stop after N seconds (0-86400, default 0: run until stopped)\n"
    "  --baud N           line rate: 4800, 9600, 19200, 38400, 57600 or 115200 (default 9600)\n"
    "  --chunk N          bytes handed over at a time, like a UART FIFO (1-4096, default 14)\n"
    "  --whole            hand each sentence or frame over whole instead\n"
    "  --no-wait          start sending at once, not when the line is set to the baud rate\n";

}  // namespace

int main(int argc, char** argv) {
    ArgReader args("kesta-gps-sim", kUsage, argc, argv);
    bool answer = false;
    while (args.Next()) {
        if (args.Is("--hw")) {
            g_opt.hardware = args.Value();
            if (g_opt.hardware != "00070000" && g_opt.hardware != "00040007" && g_opt.hardware != "00080000")
                args.Fail("--hw: '" + g_opt.hardware + "' is not one of 00070000, 00040007, 00080000");
        } else if (args.Is("--nak")) {
            std::string list = args.Value();
            std::stringstream ss(list);
            std::string step;
            while (std::getline(ss, step, ',')) {
                if (step != "1" && step != "2" && step != "3")
                    args.Fail("--nak: '" + list + "' is not a list of steps 1, 2, 3");
                g_opt.nakSteps.insert(step[0] - '0');
            }
            if (g_opt.nakSteps.empty()) args.Fail("--nak: '" + list + "' names no step");
        } else if (args.Is("--void")) {
            g_opt.voidCycles = (int)args.Long(0, 86400);
        } else if (args.Is("--time")) {
            const char* text = args.Value();
            g_opt.start = ParseTime(text);
            if (g_opt.start < 0)
                args.Fail(std::string("--time: '") + text + "' is not a date and time YYYY-MM-DDTHH:MM:SS in 2000-2099");
        } else if (args.Is("--replay")) {
            g_opt.replay = args.Value();
        } else if (args.Is("--answer")) {
            answer = true;
        } else if (args.Is("--speedup")) {
            g_opt.speedup = args.Double(0.01, 1000);
        } else if (args.Is("--seconds")) {
            g_opt.seconds = args.Double(0, 86400);
        } else if (args.Is("--baud")) {
            g_opt.baud = (int)args.Long(4800, 115200);
            if (SpeedOf(g_opt.baud) == B115200 && g_opt.baud != 115200)
                args.Fail("--baud: '" + std::to_string(g_opt.baud) + "' is not a standard rate");
        } else if (args.Is("--chunk")) {
            g_opt.chunk = (int)args.Long(1, 4096);
        } else if (args.Is("--whole")) {
            g_opt.chunk = 0;
        } else if (args.Is("--no-wait")) {
            g_opt.waitOpen = false;
        } else {
            args.Unknown();
        }
    }
    // A replay holds the receiver's own answers.
    g_opt.answer = g_opt.replay.empty() || answer;
    // Checked before the device exists, so a bad file is the only output.
    if (!g_opt.replay.empty()) fclose(OpenInput("kesta-gps-sim", g_opt.replay.c_str()));
    int slave = -1;
    char name[256];
    if (openpty(&g_master, &slave, name, nullptr, nullptr) != 0) {
        fprintf(stderr, "kesta-gps-sim: cannot create a pseudo-terminal: %s\n", strerror(errno));
        return 1;
    }
    // The slave stays open here too, so the line does not hang up between
    // the service's opens; raw, so nothing is echoed back to us. Its rate
    // starts at one nobody uses, so that the service's setting shows.
    termios t;
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, B50);
    tcsetattr(slave, TCSANOW, &t);
    fcntl(g_master, F_SETFL, fcntl(g_master, F_GETFL) | O_NONBLOCK);
    signal(SIGTERM, OnSignal);
    signal(SIGINT, OnSignal);
    signal(SIGPIPE, SIG_IGN);
    Log(std::string("device ") + name);
    if (g_opt.waitOpen) WaitForOpen(slave, SpeedOf(g_opt.baud));
    g_lineFree = Clock::now();
    auto end = Clock::now() + std::chrono::milliseconds((long)(g_opt.seconds * 1000));
    int code = g_opt.replay.empty() ? RunDrive(end) : RunReplay(end);
    char summary[96];
    snprintf(summary, sizeof summary, "sent %ld bytes, %d configuration frames answered", g_txBytes, g_cfgSteps);
    Log(summary);
    close(slave);
    close(g_master);
    return code;
}
