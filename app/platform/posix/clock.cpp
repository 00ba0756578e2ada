// The system clock. By default the backend keeps a simulated clock, an offset
// to the real one that SetSystemTime moves; KESTA_GPS_CLOCK=system sets the
// machine's real clock instead (which needs the right to do so).
#include "internal.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
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

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    long long era = (y >= 0 ? y : y - 399) / 400;
    unsigned yoe = (unsigned)(y - era * 400);
    unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (long long)doe - 719468;
}

void CivilFromDays(long long z, long long* y, unsigned* m, unsigned* d) {
    z += 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    unsigned doe = (unsigned)(z - era * 146097);
    unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = (long long)yoe + era * 400 + (*m <= 2);
}

void ToSystemTime(long long ms, SYSTEMTIME* st) {
    long long days = ms >= 0 ? ms / 86400000 : -((-ms + 86399999) / 86400000);
    long long rest = ms - days * 86400000;
    long long y;
    unsigned m, d;
    CivilFromDays(days, &y, &m, &d);
    st->wYear = (WORD)y;
    st->wMonth = (WORD)m;
    st->wDay = (WORD)d;
    st->wDayOfWeek = (WORD)(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    st->wHour = (WORD)(rest / 3600000);
    st->wMinute = (WORD)(rest / 60000 % 60);
    st->wSecond = (WORD)(rest / 1000 % 60);
    st->wMilliseconds = (WORD)(rest % 1000);
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
    long long ms = DaysFromCivil(st->wYear, st->wMonth, st->wDay) * 86400000LL +
                   st->wHour * 3600000LL + st->wMinute * 60000LL + st->wSecond * 1000LL + st->wMilliseconds;
    if (UseSystemClock()) {
        timespec ts;
        ts.tv_sec = (time_t)(ms / 1000);
        ts.tv_nsec = (long)(ms % 1000) * 1000000;
        if (clock_settime(CLOCK_REALTIME, &ts) != 0) {
            SetErrno(errno);
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
