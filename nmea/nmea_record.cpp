#include "nmea_record.h"

#include "../clock/sync_clock.h"
#include "sentence_decoder.h"

#include <stdlib.h>

NmeaRecord NmeaDecoder = {
    0, 0, 0, 'V', 0.0, 0.0, 0.0, 0.0, 0, 0, 0, 0.0, 0,
    DECODE_IDLE, 0, 0, 0, {0}, {0}, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// Guards the status and speed pair that the reader thread broadcasts.
static CRITICAL_SECTION s_FixLock;
namespace {
struct FixLockInit {
    FixLockInit() { InitializeCriticalSection(&s_FixLock); }
} s_FixLockInit;
}  // namespace

static RmcObserver s_Observer = 0;

// The double nearest 1/60: minutes are multiplied by it, not divided by 60.
static const double DEGREES_PER_MINUTE = 1.0 / 60.0;
enum { LAT_DEGREE_DIGITS = 2, LON_DEGREE_DIGITS = 3, PIECE_CHARS = 2 };

// The fields of a sentence's data in order: each NextField gives the next
// one as ExtractField describes, found from where the last one began, so
// that reading all of them walks the sentence once.
struct FieldCursor {
    const char* next;  // where the next field begins; 0 past the last one
};

static int NextField(FieldCursor* cursor, char* out, int size) {
    const char* p = cursor->next;
    out[0] = 0;
    if (!p) return 0;
    const char* comma = p;
    while (*comma && *comma != ',') ++comma;
    cursor->next = *comma ? comma + 1 : 0;
    if (*p == 0 || *p == ',' || *p == '*') return 0;
    int i = 0;
    while (p[i] && p[i] != ',' && p[i] != '*' && i < size - 1) {
        out[i] = p[i];
        ++i;
    }
    out[i] = 0;
    return 1;
}

int ExtractField(const char* text, int index, char* out, int size) {
    if (!text || !out || size <= 0) return 0;
    FieldCursor fields = {*text ? text : 0};
    int found = NextField(&fields, out, size);
    for (int n = 0; n < index; ++n) found = NextField(&fields, out, size);
    return found;
}

// A decimal integer from the `len` characters at `pos` of `field`: optional
// blanks and sign, then digits. Characters beyond the field's end read as
// nothing, and the value saturates instead of overflowing.
static LONG ParsePiece(const char* field, int pos, int len) {
    int end = pos + len;
    int i = pos;
    for (int k = 0; k < pos; ++k)
        if (!field[k]) return 0;
    while (i < end && field[i] == ' ') ++i;
    int negative = 0;
    if (i < end && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
    LONG value = 0;
    const LONG limit = 0x7FFFFFFF;
    for (; i < end && field[i] >= '0' && field[i] <= '9'; ++i) {
        int digit = field[i] - '0';
        value = value > (limit - digit) / 10 ? limit : value * 10 + digit;
    }
    return negative ? -value : value;
}

static int IsDigit(char c) { return c >= '0' && c <= '9'; }

// Decimal digits that a double holds exactly (10^15 < 2^53).
enum { EXACT_DOUBLE_DIGITS = 15 };

// The longest leading decimal number of `text` (sign, digits, point, digits,
// exponent); 0.0 when there is none. Words such as "nan" or "inf" and hex
// forms are not numbers here.
static double ParseDecimal(const char* text) {
    int i = 0;
    while (text[i] == ' ') ++i;
    int start = i;
    if (text[i] == '+' || text[i] == '-') ++i;
    int digits = 0;
    for (; IsDigit(text[i]); ++i) ++digits;
    if (text[i] == '.')
        for (++i; IsDigit(text[i]); ++i) ++digits;
    if (digits == 0) return 0.0;
    int exponent = 0;
    if (text[i] == 'e' || text[i] == 'E') {
        int j = i + 1;
        if (text[j] == '+' || text[j] == '-') ++j;
        if (IsDigit(text[j])) {
            while (IsDigit(text[j])) ++j;
            i = j;
            exponent = 1;
        }
    }
    // Few enough digits and no exponent: digits and power of ten are both
    // exact doubles, so one division gives the correctly rounded value, the
    // same as strtod's.
    static const double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                          1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (digits <= EXACT_DOUBLE_DIGITS && !exponent) {
        int k = start;
        int negative = text[k] == '-';
        if (text[k] == '+' || text[k] == '-') ++k;
        double mantissa = 0.0;
        int fraction = -1;
        for (; k < i; ++k) {
            if (text[k] == '.') {
                fraction = 0;
                continue;
            }
            mantissa = mantissa * 10.0 + (text[k] - '0');
            if (fraction >= 0) ++fraction;
        }
        double value = fraction > 0 ? mantissa / kPowersOfTen[fraction] : mantissa;
        return negative ? -value : value;
    }
    char number[RMC_FIELD_BYTES];
    int n = i - start;
    if (n > RMC_FIELD_BYTES - 1) n = RMC_FIELD_BYTES - 1;
    memcpy(number, text + start, n);
    number[n] = 0;
    return strtod(number, 0);
}

// ddmm.mmmm or dddmm.mmmm to degrees: minutes times 1/60, plus the degrees.
static double ParseCoordinate(char* field, int degreeDigits) {
    double minutes = (int)strlen(field) > degreeDigits ? ParseDecimal(field + degreeDigits) : 0.0;
    double coordinate = minutes * DEGREES_PER_MINUTE;
    field[degreeDigits] = 0;
    double degrees = ParseDecimal(field);
    return coordinate + degrees;
}

void ParseRMC(const char* data) {
    char field[RMC_FIELD_BYTES];
    NmeaRecord* r = &NmeaDecoder;
    FieldCursor fields = {data && *data ? data : 0};

    if (NextField(&fields, field, RMC_FIELD_BYTES)) {
        r->m_nHour = (BYTE)ParsePiece(field, 0, PIECE_CHARS);
        r->m_nMinute = (BYTE)ParsePiece(field, 2, PIECE_CHARS);
        r->m_nSecond = (BYTE)ParsePiece(field, 4, PIECE_CHARS);
    }
    char status = NextField(&fields, field, RMC_FIELD_BYTES) ? field[0] : 'V';

    if (NextField(&fields, field, RMC_FIELD_BYTES)) r->m_dLatitude = ParseCoordinate(field, LAT_DEGREE_DIGITS);
    if (NextField(&fields, field, RMC_FIELD_BYTES) && field[0] == 'S') r->m_dLatitude = -r->m_dLatitude;
    if (NextField(&fields, field, RMC_FIELD_BYTES)) r->m_dLongitude = ParseCoordinate(field, LON_DEGREE_DIGITS);
    if (NextField(&fields, field, RMC_FIELD_BYTES) && field[0] == 'W') r->m_dLongitude = -r->m_dLongitude;

    double speed = NextField(&fields, field, RMC_FIELD_BYTES) ? ParseDecimal(field) : 0.0;
    // Status and speed change together, so the reader thread never pairs
    // one sentence's status with another's speed.
    EnterCriticalSection(&s_FixLock);
    r->m_cStatus = status;
    r->m_dSpeed = speed;
    LeaveCriticalSection(&s_FixLock);

    r->m_dCourse = NextField(&fields, field, RMC_FIELD_BYTES) ? ParseDecimal(field) : 0.0;

    if (NextField(&fields, field, RMC_FIELD_BYTES)) {
        r->m_nDay = (BYTE)ParsePiece(field, 0, PIECE_CHARS);
        r->m_nMonth = (BYTE)ParsePiece(field, 2, PIECE_CHARS);
        r->m_nYear = (WORD)(ParsePiece(field, 4, PIECE_CHARS) + RMC_YEAR_BASE);
        SyncClock(r, r->m_cStatus);
    }

    r->m_dMagVar = NextField(&fields, field, RMC_FIELD_BYTES) ? ParseDecimal(field) : 0.0;
    if (NextField(&fields, field, RMC_FIELD_BYTES) && field[0] == 'W') r->m_dMagVar = -r->m_dMagVar;

    r->m_nRmcCount += 1;
    if (s_Observer) s_Observer(r);
}

void SetRmcObserver(RmcObserver observer) {
    s_Observer = observer;
}

void GetFixSnapshot(char* status, double* speed) {
    EnterCriticalSection(&s_FixLock);
    *status = NmeaDecoder.m_cStatus;
    *speed = NmeaDecoder.m_dSpeed;
    LeaveCriticalSection(&s_FixLock);
}
