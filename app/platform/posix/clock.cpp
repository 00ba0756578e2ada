// The system clock. By default the backend keeps a simulated clock, an offset
// to the real one that SetSystemTime moves; KESTA_GPS_CLOCK=system sets the
// machine's real clock instead (which needs the right to do so).
#include "internal.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

// RMC dates run to 2099. A 32-bit time_t wraps in 2038 and turned a 2040
// local time into one of 1904's; 32-bit builds take the 64-bit one
// (_TIME_BITS=64, set by the build).
static_assert(sizeof(time_t) >= 8, "the clock needs a 64-bit time_t: build with -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64");

namespace kp {
namespace {

std::atomic<long long> g_offsetMs{0};

bool UseSystemClock() {
    const char* v = getenv("KESTA_GPS_CLOCK");
    return v && strcmp(v, "system") == 0;
}

long long RealNowMs() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

long long NowMs() { return RealNowMs() + (UseSystemClock() ? 0 : g_offsetMs.load()); }

// The calendar is libc's: timegm and gmtime_r on a 64-bit time_t.
void ToSystemTime(long long ms, SYSTEMTIME* st) {
    long long secs = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
    time_t t = (time_t)secs;
    tm utc;
    if (!gmtime_r(&t, &utc)) {
        memset(st, 0, sizeof *st);
        return;
    }
    st->wYear = (WORD)(utc.tm_year + 1900);
    st->wMonth = (WORD)(utc.tm_mon + 1);
    st->wDay = (WORD)utc.tm_mday;
    st->wDayOfWeek = (WORD)utc.tm_wday;
    st->wHour = (WORD)utc.tm_hour;
    st->wMinute = (WORD)utc.tm_min;
    st->wSecond = (WORD)utc.tm_sec;
    st->wMilliseconds = (WORD)(ms - secs * 1000);
}

bool Leap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace
}  // namespace kp

using namespace kp;

BOOL SetSystemTime(const SYSTEMTIME* st) {
    static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (!st || st->wYear < 1601 || st->wYear > 30827 || st->wMonth < 1 || st->wMonth > 12 ||
        st->wDay < 1 || st->wDay > kDays[st->wMonth - 1] + (st->wMonth == 2 && Leap(st->wYear)) ||
        st->wHour > 23 || st->wMinute > 59 || st->wSecond > 59 || st->wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    tm utc = {};
    utc.tm_year = st->wYear - 1900;
    utc.tm_mon = st->wMonth - 1;
    utc.tm_mday = st->wDay;
    utc.tm_hour = st->wHour;
    utc.tm_min = st->wMinute;
    utc.tm_sec = st->wSecond;
    long long ms = (long long)timegm(&utc) * 1000 + st->wMilliseconds;
    if (UseSystemClock()) {
        timespec ts;
        ts.tv_sec = (time_t)(ms / 1000);
        ts.tv_nsec = (long)(ms % 1000) * 1000000;
        if (clock_settime(CLOCK_REALTIME, &ts) != 0) {
            int e = errno;
            // Said once: the service tries again at every synchronisation.
            static std::atomic<bool> said{false};
            if (!said.exchange(true))
                BackendLine("platform: cannot set the system clock (KESTA_GPS_CLOCK=system): %s\n", strerror(e));
            SetErrno(e);
            return FALSE;
        }
        return TRUE;
    }
    g_offsetMs.store(ms - RealNowMs());
    return TRUE;
}

void GetSystemTime(SYSTEMTIME* st) {
    if (st) ToSystemTime(NowMs(), st);
}

void GetLocalTime(SYSTEMTIME* st) {
    if (!st) return;
    long long ms = NowMs();
    time_t secs = (time_t)(ms / 1000);
    tm local;
    long long offset = 0;
    if (localtime_r(&secs, &local)) offset = local.tm_gmtoff;  // the machine's time zone
    ToSystemTime(ms + offset * 1000, st);
}
