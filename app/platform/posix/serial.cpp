// The serial device over termios. A comm handle is always binary: the tty is
// put in raw mode when it is opened, whatever its previous settings. The
// device-control block maps onto termios for baud rate, byte size, parity,
// stop bits and flow control; its other fields have no termios counterpart
// and are kept as last set, so a read-modify-write leaves them unchanged.
#include "internal.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

static_assert(sizeof(DCB) == 28, "DCB must keep its 28-byte layout");

namespace kp {
namespace {

struct CommObj : Object {
    int fd = -1;
    int wakeFd = -1;  // wakes a pending WaitCommEvent
    std::mutex m;
    DWORD mask = 0;
    unsigned long long maskGeneration = 0;
    COMMTIMEOUTS timeouts = {};
    DCB dcb = {};
    DWORD errors = 0;
    std::atomic<bool> closed{false};
    std::atomic<bool> goneSaid{false};  // the hang-up is said once per open
    Path device;

    // The descriptor is closed only when the last operation in progress
    // lets go of the object, so its number cannot be reused under a thread
    // that is still blocked on it.
    ~CommObj() override {
        // The exclusive mode belongs to the tty, not to this descriptor: a
        // pseudo-terminal would keep it while its other end is open.
        if (fd >= 0) ioctl(fd, TIOCNXCL);
        if (fd >= 0) close(fd);
        if (wakeFd >= 0) close(wakeFd);
    }
    void OnClose() override {
        closed = true;
        Wake();
    }
    void SayGone(const char* why) {
        if (!goneSaid.exchange(true))
            BackendLine("platform: the serial device %s hung up or went away: %s\n", device.c_str(), why);
    }
    void Wake() {
        uint64_t one = 1;
        ssize_t r = write(wakeFd, &one, sizeof one);
        (void)r;
    }
};

struct Baud {
    DWORD rate;
    speed_t code;
};
const Baud kBauds[] = {{50, B50}, {75, B75}, {110, B110}, {134, B134}, {150, B150}, {200, B200},
                       {300, B300}, {600, B600}, {1200, B1200}, {1800, B1800}, {2400, B2400},
                       {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
                       {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800},
                       {921600, B921600}};

bool BaudCode(DWORD rate, speed_t* code) {
    for (const Baud& b : kBauds)
        if (b.rate == rate) {
            *code = b.code;
            return true;
        }
    return false;
}

DWORD BaudRate(speed_t code) {
    for (const Baud& b : kBauds)
        if (b.code == code) return b.rate;
    return 0;
}

}  // namespace

void MakeRaw(termios* t) {
    // No line discipline, no echo, no CR/LF translation. Linux turns XON/XOFF
    // on for every new tty, and it would swallow 0x11 and 0x13 bytes of
    // binary frames, so a comm handle starts without it (SetCommState can
    // ask for it); hardware flow control is a line setting and stays.
    t->c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IMAXBEL |
                    IXON | IXOFF | IXANY);
    t->c_oflag &= ~OPOST;
    t->c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN | ECHOE | ECHOK | ECHOCTL | ECHOKE);
    t->c_cflag |= CLOCAL | CREAD;
    t->c_cc[VMIN] = 1;
    t->c_cc[VTIME] = 0;
}

void DcbFromTermios(const termios& t, DCB* d) {
    d->DCBlength = sizeof(DCB);
    d->BaudRate = BaudRate(cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
    case CS5: d->ByteSize = 5; break;
    case CS6: d->ByteSize = 6; break;
    case CS7: d->ByteSize = 7; break;
    default: d->ByteSize = 8; break;
    }
    if (!(t.c_cflag & PARENB)) d->Parity = NOPARITY;
    else if (t.c_cflag & CMSPAR) d->Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else d->Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    if (!(t.c_cflag & CSTOPB)) d->StopBits = ONESTOPBIT;
    else d->StopBits = d->ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    d->fBinary = 1;
    d->fParity = (t.c_iflag & INPCK) ? 1 : 0;
    bool rtscts = (t.c_cflag & CRTSCTS) != 0;
    d->fOutxCtsFlow = rtscts ? 1 : 0;
    if (rtscts) d->fRtsControl = RTS_CONTROL_HANDSHAKE;
    else if (d->fRtsControl == RTS_CONTROL_HANDSHAKE) d->fRtsControl = RTS_CONTROL_ENABLE;
    d->fOutX = (t.c_iflag & IXON) ? 1 : 0;
    d->fInX = (t.c_iflag & IXOFF) ? 1 : 0;
    d->XonChar = (char)t.c_cc[VSTART];
    d->XoffChar = (char)t.c_cc[VSTOP];
}

bool TermiosFromDcb(const DCB& d, termios* t) {
    speed_t code;
    if (!BaudCode(d.BaudRate, &code) || d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > SPACEPARITY ||
        d.StopBits > TWOSTOPBITS || (d.StopBits == ONE5STOPBITS && d.ByteSize != 5))
        return false;
    MakeRaw(t);
    cfsetispeed(t, code);
    cfsetospeed(t, code);
    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t->c_cflag = (t->c_cflag & ~CSIZE) | kSizes[d.ByteSize - 5];
    t->c_cflag &= ~(PARENB | PARODD | CMSPAR);
    switch (d.Parity) {
    case ODDPARITY: t->c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: t->c_cflag |= PARENB; break;
    case MARKPARITY: t->c_cflag |= PARENB | CMSPAR | PARODD; break;
    case SPACEPARITY: t->c_cflag |= PARENB | CMSPAR; break;
    }
    if (d.StopBits == ONESTOPBIT) t->c_cflag &= ~CSTOPB;
    else t->c_cflag |= CSTOPB;
    if (d.fParity) t->c_iflag |= INPCK;
    else t->c_iflag &= ~INPCK;
    if (d.fOutxCtsFlow || d.fRtsControl == RTS_CONTROL_HANDSHAKE) t->c_cflag |= CRTSCTS;
    else t->c_cflag &= ~CRTSCTS;
    if (d.fOutX) t->c_iflag |= IXON;
    else t->c_iflag &= ~IXON;
    if (d.fInX) t->c_iflag |= IXOFF;
    else t->c_iflag &= ~IXOFF;
    t->c_cc[VSTART] = (cc_t)d.XonChar;
    t->c_cc[VSTOP] = (cc_t)d.XoffChar;
    return true;
}

namespace {

int InQueue(int fd) {
    int n = 0;
    if (ioctl(fd, FIONREAD, &n) != 0) return -1;
    return n;
}

std::shared_ptr<CommObj> Comm(HANDLE h) {
    auto c = Get<CommObj>(h);
    if (!c) SetLastError(ERROR_INVALID_HANDLE);
    return c;
}

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : (int)left;
}

}  // namespace

// A device another user owns, or reached through another user's link, may
// carry that user's data: the clock is set from it all the same, and the
// first open says so.
static void SayWhoseDevice(const char* device, int fd) {
    static std::atomic<bool> said{false};
    struct stat st, link;
    uid_t me = geteuid();
    uid_t owner = fstat(fd, &st) == 0 ? st.st_uid : me;
    uid_t linker = lstat(device, &link) == 0 && S_ISLNK(link.st_mode) ? link.st_uid : me;
    bool other = owner != me && owner != 0, linked = linker != me && linker != 0;
    if (!(other || linked) || said.exchange(true)) return;
    BackendLine("platform: the serial device %s %s user %u, neither root nor the service's: its data is taken all "
                "the same\n", device, linked ? "is a link of" : "belongs to", (unsigned)(linked ? linker : owner));
}

HANDLE OpenComm(const char* device, DWORD access, DWORD share) {
    int flags = O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
    flags |= (access & GENERIC_WRITE) ? ((access & GENERIC_READ) ? O_RDWR : O_WRONLY) : O_RDONLY;
    // A device that cannot be opened is said here, with its path and why,
    // beside the service's own lines: they name only "COM1:".
    int fd = open(device, flags);
    if (fd < 0) {
        int e = errno;
        BackendLine("platform: cannot open the serial device %s: %s\n", device, strerror(e));
        SetErrno(e);
        return INVALID_HANDLE_VALUE;
    }
    termios t;
    if (tcgetattr(fd, &t) != 0) {
        close(fd);
        BackendLine("platform: cannot open the serial device %s: not a terminal device\n", device);
        SetLastError(ERROR_GEN_FAILURE);
        return INVALID_HANDLE_VALUE;
    }
    SayWhoseDevice(device, fd);
    // Share mode 0 is exclusive, for this and every other process: a lock on
    // the device node (which, unlike TIOCEXCL, also binds root).
    if (share == 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        BackendLine("platform: cannot open the serial device %s: another program has it open\n", device);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    // The lock binds programs that take it; TIOCEXCL also turns away those
    // that do not (a second open gets EBUSY), as share mode 0 does on the
    // device. Root passes TIOCEXCL, never the lock.
    if (share == 0) ioctl(fd, TIOCEXCL);
    MakeRaw(&t);
    tcsetattr(fd, TCSANOW, &t);
    auto c = std::make_shared<CommObj>();
    c->fd = fd;
    c->device.Append(device);
    c->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (c->wakeFd < 0) {
        SetErrno(errno);
        return INVALID_HANDLE_VALUE;
    }
    c->dcb.fDtrControl = DTR_CONTROL_ENABLE;
    c->dcb.fRtsControl = RTS_CONTROL_ENABLE;
    c->dcb.fTXContinueOnXoff = 1;
    c->dcb.XonLim = 2048;
    c->dcb.XoffLim = 512;
    DcbFromTermios(t, &c->dcb);
    SetLastError(ERROR_SUCCESS);
    return AddHandle(c);
}

bool CommRead(HANDLE h, void* buf, DWORD want, DWORD* got, OVERLAPPED* ov, BOOL* result) {
    auto c = Get<CommObj>(h);
    if (!c) return false;
    COMMTIMEOUTS to;
    {
        std::lock_guard<std::mutex> lock(c->m);
        to = c->timeouts;
    }
    DWORD done = 0;
    bool failed = false;
    bool immediate = to.ReadIntervalTimeout == MAXDWORD && to.ReadTotalTimeoutMultiplier == 0 &&
                     to.ReadTotalTimeoutConstant == 0;
    long long totalMs = (long long)to.ReadTotalTimeoutMultiplier * want + to.ReadTotalTimeoutConstant;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(totalMs);
    while (done < want && !c->closed) {
        ssize_t n = read(c->fd, (char*)buf + done, want - done);
        if (n > 0) {
            done += (DWORD)n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            failed = true;  // device gone (EIO after a hang-up, USB unplugged)
            c->SayGone(strerror(errno));
            break;
        }
        if (n == 0 || immediate) break;
        if (to.ReadIntervalTimeout && done > 0 && to.ReadIntervalTimeout != MAXDWORD) {
            pollfd p = {c->fd, POLLIN, 0};
            if (poll(&p, 1, (int)to.ReadIntervalTimeout) <= 0) break;
            continue;
        }
        int wait = totalMs > 0 ? RemainingMs(deadline) : -1;
        if (totalMs > 0 && wait == 0) break;
        pollfd p[2] = {{c->fd, POLLIN, 0}, {c->wakeFd, POLLIN, 0}};
        if (poll(p, 2, wait) <= 0) break;
        if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            c->SayGone("the line hung up");
            break;
        }
    }
    if (got) *got = done;
    if (ov) {
        ov->Internal = 0;
        ov->InternalHigh = done;
    }
    if (failed || c->closed) {
        std::lock_guard<std::mutex> lock(c->m);
        c->errors |= CE_FRAME;
        SetLastError(c->closed ? ERROR_OPERATION_ABORTED : ERROR_GEN_FAILURE);
        *result = FALSE;
        return true;
    }
    *result = TRUE;
    return true;
}

bool CommWrite(HANDLE h, const void* buf, DWORD want, DWORD* put, OVERLAPPED* ov, BOOL* result) {
    auto c = Get<CommObj>(h);
    if (!c) return false;
    COMMTIMEOUTS to;
    {
        std::lock_guard<std::mutex> lock(c->m);
        to = c->timeouts;
    }
    long long totalMs = (long long)to.WriteTotalTimeoutMultiplier * want + to.WriteTotalTimeoutConstant;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(totalMs);
    DWORD done = 0;
    DWORD error = 0;
    while (done < want) {
        if (c->closed) {
            error = ERROR_OPERATION_ABORTED;
            break;
        }
        ssize_t n = write(c->fd, (const char*)buf + done, want - done);
        if (n > 0) {
            done += (DWORD)n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            error = ERROR_GEN_FAILURE;
            break;
        }
        int wait = totalMs > 0 ? RemainingMs(deadline) : -1;
        // A write that has not gone out when its time-out ends has failed;
        // it is not reported as a success.
        if (totalMs > 0 && wait == 0) {
            error = ERROR_TIMEOUT;
            break;
        }
        pollfd p[2] = {{c->fd, POLLOUT, 0}, {c->wakeFd, POLLIN, 0}};
        poll(p, 2, wait);
    }
    if (put) *put = done;
    if (ov) {
        ov->Internal = 0;
        ov->InternalHigh = done;
    }
    if (error) SetLastError(error);
    *result = error ? FALSE : TRUE;
    return true;
}

}  // namespace kp

using namespace kp;

BOOL SetCommMask(HANDLE port, DWORD mask) {
    auto c = Comm(port);
    if (!c) return FALSE;
    {
        std::lock_guard<std::mutex> lock(c->m);
        c->mask = mask;
        ++c->maskGeneration;
    }
    c->Wake();
    return TRUE;
}

BOOL WaitCommEvent(HANDLE port, DWORD* mask, OVERLAPPED*) {
    if (mask) *mask = 0;
    auto c = Comm(port);
    if (!c || !mask) return FALSE;
    DWORD want;
    unsigned long long generation;
    {
        std::lock_guard<std::mutex> lock(c->m);
        want = c->mask;
        generation = c->maskGeneration;
    }
    if (!want) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    for (;;) {
        if (c->closed) {
            SetLastError(ERROR_OPERATION_ABORTED);
            return FALSE;
        }
        {
            std::lock_guard<std::mutex> lock(c->m);
            if (c->maskGeneration != generation) return TRUE;  // mask changed: *mask stays 0
        }
        if ((want & EV_RXCHAR) && InQueue(c->fd) > 0) {
            *mask = EV_RXCHAR;
            return TRUE;
        }
        pollfd p[2] = {{c->fd, POLLIN, 0}, {c->wakeFd, POLLIN, 0}};
        int r = poll(p, 2, -1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return TRUE;
        if (p[1].revents & POLLIN) {
            uint64_t v;
            ssize_t n = read(c->wakeFd, &v, sizeof v);
            (void)n;
            continue;
        }
        // The device went away (hang-up, unplugged) or reports readable with
        // nothing to read: return without an event and let the caller pause,
        // rather than spin here.
        if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            c->SayGone(p[0].revents & POLLHUP ? "the line hung up" : "the device reports an error");
            return TRUE;
        }
        if (InQueue(c->fd) <= 0) return TRUE;
    }
}

BOOL SetupComm(HANDLE port, DWORD, DWORD) {
    // The tty driver's queue sizes are fixed by the kernel and cannot be set
    // from user space on Linux; the request is accepted as it stands.
    return Comm(port) ? TRUE : FALSE;
}

BOOL PurgeComm(HANDLE port, DWORD flags) {
    auto c = Comm(port);
    if (!c) return FALSE;
    if (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) tcflush(c->fd, TCIFLUSH);
    if (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) tcflush(c->fd, TCOFLUSH);
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE port, const COMMTIMEOUTS* timeouts) {
    auto c = Comm(port);
    if (!c || !timeouts) return FALSE;
    std::lock_guard<std::mutex> lock(c->m);
    c->timeouts = *timeouts;
    return TRUE;
}

BOOL GetCommTimeouts(HANDLE port, COMMTIMEOUTS* timeouts) {
    auto c = Comm(port);
    if (!c || !timeouts) return FALSE;
    std::lock_guard<std::mutex> lock(c->m);
    *timeouts = c->timeouts;
    return TRUE;
}

BOOL GetCommState(HANDLE port, DCB* dcb) {
    auto c = Comm(port);
    if (!c || !dcb) return FALSE;
    termios t;
    if (tcgetattr(c->fd, &t) != 0) {
        SetErrno(errno);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(c->m);
    *dcb = c->dcb;
    DcbFromTermios(t, dcb);
    return TRUE;
}

BOOL SetCommState(HANDLE port, const DCB* dcb) {
    auto c = Comm(port);
    if (!c || !dcb) return FALSE;
    termios t;
    if (tcgetattr(c->fd, &t) != 0 || !TermiosFromDcb(*dcb, &t)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (tcsetattr(c->fd, TCSANOW, &t) != 0) {
        SetErrno(errno);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(c->m);
    c->dcb = *dcb;
    c->dcb.DCBlength = sizeof(DCB);
    return TRUE;
}

BOOL ClearCommError(HANDLE port, DWORD* errors, COMSTAT* stat) {
    auto c = Comm(port);
    if (!c) return FALSE;
    int in = InQueue(c->fd);
    int out = 0;
    if (in < 0 || ioctl(c->fd, TIOCOUTQ, &out) != 0) {
        SetErrno(errno);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(c->m);
    if (errors) *errors = c->errors;
    c->errors = 0;
    if (stat) {
        stat->fFlags = 0;
        stat->cbInQue = (DWORD)in;
        stat->cbOutQue = (DWORD)out;
    }
    return TRUE;
}

BOOL GetOverlappedResult(HANDLE, OVERLAPPED* ov, DWORD* transferred, BOOL) {
    // Every comm operation here completes before it returns.
    if (!ov) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (transferred) *transferred = (DWORD)ov->InternalHigh;
    return TRUE;
}
