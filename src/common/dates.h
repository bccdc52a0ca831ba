// Calendar arithmetic on plain integers: epoch counts to civil dates and the YYYYMMDDHHMMSS form,
// so whole columns of times convert without one Python call per value.
#pragma once
#include <cstdint>

namespace corvane {
namespace dates {

struct Civil {
    int64_t year;
    unsigned month; // 1..12
    unsigned day;   // 1..31
};

// Proleptic Gregorian date of a count of days since 1970-01-01 (exact for the whole int64 range
// that matters here; the era arithmetic keeps negative counts correct).
inline Civil civil_from_days(int64_t z) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {m <= 2 ? y + 1 : y, m, d};
}

inline int64_t floor_div(int64_t a, int64_t b) {
    const int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

inline bool is_leap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

inline unsigned days_in_month(int64_t y, unsigned m) {
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return (m == 2 && is_leap(y)) ? 29 : kDays[m - 1];
}

// YYYYMMDDHHMMSS of a time given in seconds since the epoch (wall clock, no zone); fractions of
// a second are dropped by the caller before. False for years outside 1..9999.
inline bool ymdhms_from_epoch_seconds(int64_t secs, uint64_t &out) {
    const int64_t days = floor_div(secs, 86400);
    const int64_t sod = secs - days * 86400;
    const Civil c = civil_from_days(days);
    if (c.year < 1 || c.year > 9999)
        return false;
    const uint64_t date = static_cast<uint64_t>(c.year) * 10000 + c.month * 100 + c.day;
    const uint64_t hh = static_cast<uint64_t>(sod / 3600), mm = static_cast<uint64_t>(sod / 60 % 60),
                   ss = static_cast<uint64_t>(sod % 60);
    out = date * 1000000 + hh * 10000 + mm * 100 + ss;
    return true;
}

// Normalises an integer bar time: YYYYMMDD becomes YYYYMMDD000000, YYYYMMDDHHMMSS stays. False
// when the number is not a valid date or date-time of either form.
inline bool normalise_int_time(int64_t v, uint64_t &out) {
    if (v < 0)
        return false;
    int64_t date = v, time = 0;
    if (v >= 100000000LL) {
        if (v >= 100000000000000LL)
            return false;
        date = v / 1000000;
        time = v % 1000000;
    }
    const int64_t y = date / 10000;
    const unsigned m = static_cast<unsigned>(date / 100 % 100), d = static_cast<unsigned>(date % 100);
    if (y < 1 || m < 1 || m > 12 || d < 1 || d > days_in_month(y, m))
        return false;
    if (time / 10000 > 23 || time / 100 % 100 > 59 || time % 100 > 59)
        return false;
    out = static_cast<uint64_t>(date) * 1000000 + static_cast<uint64_t>(time);
    return true;
}

} // namespace dates
} // namespace corvane
