// Bar times to YYYYMMDDHHMMSS over raw columns of integers or date-time ticks: the arithmetic of
// the native time conversion, apart from any Python object.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>

#include "dates.h"
#include "int_reader.h"

namespace histsource {

// n elements starting at `data`, `stride` bytes apart (the stride may be negative).
struct Column {
    const char *data;
    std::ptrdiff_t n;
    std::ptrdiff_t stride;
    const char *at(std::ptrdiff_t i) const { return data + i * stride; }
};

// Ticks per second of a numpy datetime64 type string such as "<M8[ns]"; 0 for other types and
// for units not handled.
inline int64_t datetime_ticks_per_second(const std::string &t) {
    if (t.size() < 5 || (t[0] != '<' && t[0] != '|' && t[0] != '=') || t[1] != 'M' || t[2] != '8')
        return 0;
    const std::string unit = t.substr(3);
    if (unit == "[ns]")
        return 1000000000LL;
    if (unit == "[us]")
        return 1000000LL;
    if (unit == "[ms]")
        return 1000LL;
    if (unit == "[s]")
        return 1LL;
    return 0;
}

// HHMM00 of every minute of a day, so a time of day needs one division (by 60) per row.
inline const uint32_t *clock_of_minute() {
    static const struct Table {
        uint32_t v[1440];
        Table() {
            for (uint32_t m = 0; m < 1440; ++m)
                v[m] = m / 60 * 10000 + m % 60 * 100;
        }
    } table;
    return table.v;
}

// Date-time bar times (int64 counts of `ticks` per second) to YYYYMMDDHHMMSS. The calendar
// arithmetic runs once per day: a row inside the current day only needs its second of the day
// split. False for NaT and dates outside years 1..9999.
template <bool Nanoseconds> bool convert_datetimes(const Column &c, int64_t ticks, uint64_t *out) {
    const uint32_t *clock = clock_of_minute();
    int64_t day_start = 1, day_end = 0; // no day yet
    uint64_t date_part = 0;
    for (std::ptrdiff_t i = 0; i < c.n; ++i) {
        int64_t v;
        std::memcpy(&v, c.at(i), 8);
        if (v == INT64_MIN) // NaT
            return false;
        // Division by the constant of the usual nanosecond unit compiles to a multiplication.
        const int64_t secs =
            (Nanoseconds && v >= 0) ? (int64_t)((uint64_t)v / 1000000000ULL) : corvane::dates::floor_div(v, ticks);
        if (secs < day_start || secs >= day_end) {
            day_start = corvane::dates::floor_div(secs, 86400) * 86400;
            day_end = day_start + 86400;
            if (!corvane::dates::ymdhms_from_epoch_seconds(day_start, date_part))
                return false;
        }
        const uint32_t sod = (uint32_t)(secs - day_start);
        const uint32_t minute = sod / 60;
        out[i] = date_part + clock[minute] + (sod - minute * 60);
    }
    return true;
}

// Date-time columns of any handled unit (ticks > 0).
inline bool convert_datetime_column(const Column &c, int64_t ticks, uint64_t *out) {
    return ticks == 1000000000LL ? convert_datetimes<true>(c, ticks, out) : convert_datetimes<false>(c, ticks, out);
}

// Integer bar times YYYYMMDD or YYYYMMDDHHMMSS; false at the first value that is neither.
inline bool convert_int_column(const Column &c, const corvane::IntegerReader &ints, uint64_t *out) {
    if (!ints.valid())
        return false;
    for (std::ptrdiff_t i = 0; i < c.n; ++i) {
        int64_t v;
        if (!ints.read(c.at(i), v) || !corvane::dates::normalise_int_time(v, out[i]))
            return false;
    }
    return true;
}

} // namespace histsource
