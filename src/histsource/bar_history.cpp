// Bar history at day and N-minute frequencies, with the minute-bar cache and its bulk prefetch.
#include <algorithm>

#include "bar_array.h"
#include "dates.h"
#include "frame_views.h"
#include "histsource.h"
#include "index_entries.h"
#include "python_ops.h"
#include "trading_calendar.h"

namespace histsource {

// np.hstack(parts), or just its last `keep` rows when it is joined by copying (keep >= 0) (bar_join.cpp).
nb::object join_bar_arrays(nb::handle np, nb::handle parts, Py_ssize_t keep);

namespace {

using corvane::call;
using corvane::call_kw;
using corvane::call_method;
using corvane::call_method_kw;
using corvane::checked;
using corvane::contains;
using corvane::equals;
using corvane::getattr;
using corvane::int64_of;
using corvane::length_of;
using corvane::truthy;

constexpr int64_t kNanosPerDay = 86400LL * 1000000000LL;
constexpr int64_t kMinutesPerDay = 240; // one-minute bars in one trading day

Py_ssize_t tail_start(Py_ssize_t size, int64_t count) {
    const int64_t start = -count;
    if (start < 0)
        return (Py_ssize_t)std::max<int64_t>(0, size + start);
    return (Py_ssize_t)std::min<int64_t>(start, size);
}

// The candidate trading days of a minute query: positions of the native calendar, a sequence
// the caller holds (the calendar's answer), or unsuspended days kept as nanosecond dates and
// boxed as timestamps only when read (the calendar's own Timestamp when it lists the day).
class CandidateDays {
public:
    explicit CandidateDays(nb::object seq) : seq_(std::move(seq)), size_(length_of(seq_)) {}
    CandidateDays(std::shared_ptr<const TradingCalendar> cal, Py_ssize_t first, Py_ssize_t last)
        : cal_(std::move(cal)), first_(first), size_(std::max<Py_ssize_t>(0, last - first)) {}
    CandidateDays(std::vector<int64_t> ns, nb::object timestamp, std::shared_ptr<const TradingCalendar> cal)
        : timestamp_(std::move(timestamp)), ns_(std::move(ns)), cal_(std::move(cal)), size_((Py_ssize_t)ns_.size()) {}

    Py_ssize_t size() const { return size_; }

    nb::object at(Py_ssize_t i) const {
        if (seq_.is_valid())
            return checked(PySequence_GetItem(seq_.ptr(), i));
        if (timestamp_.is_valid()) {
            const int64_t ns = ns_[(size_t)i];
            const Py_ssize_t pos = cal_ ? cal_->find(ns) : -1;
            return pos >= 0 ? cal_->at(pos) : call(timestamp_, nb::int_(ns));
        }
        return cal_->at(first_ + i);
    }

    // days[-n:]: a slice of the caller's sequence, else a tuple of Timestamps.
    nb::object tail(int64_t n) const {
        const Py_ssize_t start = tail_start(size_, n);
        if (seq_.is_valid())
            return checked(PySequence_GetSlice(seq_.ptr(), start, size_));
        nb::object out = checked(PyTuple_New(size_ - start));
        for (Py_ssize_t i = start; i < size_; ++i)
            PyTuple_SET_ITEM(out.ptr(), i - start, at(i).release().ptr());
        return out;
    }

private:
    nb::object seq_;
    nb::object timestamp_;
    std::vector<int64_t> ns_;
    std::shared_ptr<const TradingCalendar> cal_;
    Py_ssize_t first_ = 0;
    Py_ssize_t size_;
};

// Midnight of the day of `dt` in nanoseconds, as pd.Timestamp(dt).normalize() gives it.
int64_t day_nanos(nb::handle dt, nb::handle timestamp) {
    int64_t ns;
    if (HS_PRISTINE("pd.Timestamp") && day_of(dt, ns))
        return ns;
    nb::object day = call_method(call(timestamp, dt), CORVANE_NAME(normalize));
    const int64_t v = PyLong_AsLongLong(getattr(day, CORVANE_NAME(value)).ptr());
    if (PyErr_Occurred())
        throw nb::python_error();
    return v;
}

// Unsuspended days from the start of the series up to and including the day of `dt`. With
// `native` false the days are the series' own index entries, as a replaced _prepare_for must see.
CandidateDays unsuspended_days(nb::handle self, nb::handle instrument, nb::handle dt, bool native) {
    nb::object suspended = call(HS_GLOBAL(_is_suspended), getattr(instrument, CORVANE_NAME(market_code)));
    nb::object pd = HS_GLOBAL(pd);
    nb::object timestamp = getattr(pd, CORVANE_NAME(Timestamp));
    if (const SuspensionView *v = native ? suspension_view(suspended) : nullptr) {
        const int64_t day_ns = day_nanos(dt, timestamp);
        const auto end = std::lower_bound(v->active.begin(), v->active.end(), day_ns + kNanosPerDay);
        // The calendar's Timestamps stand in for new ones only while pd.Timestamp is the type
        // that would make them.
        auto cal = HS_PRISTINE("pd.Timestamp") ? native_calendar(self) : nullptr;
        return CandidateDays(std::vector<int64_t>(v->active.begin(), end), timestamp, cal);
    }
    nb::object day = call_method(call(timestamp, dt), CORVANE_NAME(normalize));
    // The entries' dates as date-times whatever index type the series carries (a client may
    // index it by dates, text or anything pandas reads as date-times).
    nb::object index = call(getattr(pd, CORVANE_NAME(to_datetime)), getattr(suspended, CORVANE_NAME(index)));
    nb::object unsuspended = checked(PyObject_RichCompare(suspended.ptr(), Py_False, Py_EQ));
    nb::object days = call_method(index, CORVANE_NAME(normalize));
    nb::object not_later = checked(PyObject_RichCompare(days.ptr(), day.ptr(), Py_LE));
    nb::object mask = checked(PyNumber_And(getattr(unsuspended, CORVANE_NAME(values)).ptr(), not_later.ptr()));
    return CandidateDays(checked(PyObject_GetItem(index.ptr(), mask.ptr())));
}

// The candidate days from the native calendar: the later of the listing day and the day a year
// before `dt`, to the day of `dt`; false when the inputs or the calendar need the Python path.
bool calendar_days_natively(nb::handle self, nb::handle listed, nb::handle dt, CandidateDays &out) {
    int64_t listed_ns, dt_ns;
    if (!day_of(listed, listed_ns) || !day_of(dt, dt_ns) || !HS_PRISTINE("datetime.timedelta"))
        return false;
    auto cal = native_calendar(self);
    if (!cal)
        return false;
    // Whole days keep the time of day, so the later of the two date-times is on the later day.
    const int64_t start_ns = std::max(listed_ns, dt_ns - 365 * kNanosPerDay);
    const Py_ssize_t first = cal->first_not_before(start_ns), last = cal->first_after(dt_ns);
    out = CandidateDays(std::move(cal), first, last);
    return true;
}

// Trading days from the later of the listing date and a year before `dt`, up to `dt`. With
// `native` false they are the calendar's own answer, as a replaced _prepare_for must see.
CandidateDays calendar_days(nb::handle self, nb::handle instrument, nb::handle dt, bool native) {
    nb::object listed = getattr(instrument, CORVANE_NAME(listed_date));
    CandidateDays from_calendar(nullptr, 0, 0);
    if (native && calendar_days_natively(self, listed, dt, from_calendar))
        return from_calendar;
    nb::object year =
        corvane::call_kw(getattr(HS_GLOBAL(datetime), CORVANE_NAME(timedelta)), CORVANE_KWNAMES("days"), nb::int_(365));
    nb::object year_before = checked(PyNumber_Subtract(dt.ptr(), year.ptr()));
    const int later = PyObject_RichCompareBool(year_before.ptr(), listed.ptr(), Py_GT);
    if (later < 0)
        throw nb::python_error();
    nb::object start = later ? year_before : listed;
    return CandidateDays(call_method(self, CORVANE_NAME(get_trading_dates), start, dt));
}

// len(self.get_trading_dates(first, last)), natively when the calendar allows.
Py_ssize_t trading_days_between(nb::handle self, nb::handle first, nb::handle last) {
    int64_t a, b;
    if (HS_PRISTINE("pd.Timestamp") && day_of(first, a) && day_of(last, b))
        if (auto cal = native_calendar(self))
            return std::max<Py_ssize_t>(0, cal->first_after(b) - cal->first_not_before(a));
    return length_of(call_method(self, CORVANE_NAME(get_trading_dates), first, last));
}

nb::object minute_price(nb::handle market_code, nb::handle start, nb::handle end, nb::handle adjust_type,
                        nb::handle variety) {
    nb::object to_text = HS_GLOBAL(convert_dt_to_date_str);
    nb::object client = HS_GLOBAL(ostradatac);
    return call_kw(getattr(client, CORVANE_NAME(get_price)),
                   CORVANE_KWNAMES("frequency", "adjust_type", "expect_df", "variety"), market_code,
                   call(to_text, start), call(to_text, end), nb::handle(CORVANE_TEXT("1m")), adjust_type,
                   nb::bool_(true), variety);
}

// The date-times a bulk frame is split by: the trading_date column for futures (night bars belong
// to the next trading day), else the bar time of the index, integers YYYYMMDDHHMMSS read as such.
nb::object split_times(nb::handle frame, bool future) {
    nb::object pd = HS_GLOBAL(pd);
    nb::object to_datetime = getattr(pd, CORVANE_NAME(to_datetime));
    nb::object source =
        future ? getattr(checked(PyObject_GetItem(frame.ptr(), CORVANE_NAME(trading_date))), CORVANE_NAME(values))
               : getattr(frame, CORVANE_NAME(index));
    nb::object kind = getattr(getattr(source, CORVANE_NAME(dtype)), CORVANE_NAME(kind));
    if (PyUnicode_CompareWithASCIIString(kind.ptr(), "i") == 0 ||
        PyUnicode_CompareWithASCIIString(kind.ptr(), "u") == 0) {
        nb::object text = call_method(source, CORVANE_NAME(astype), nb::handle((PyObject *)&PyUnicode_Type));
        return call_kw(to_datetime, CORVANE_KWNAMES("format"), text, nb::handle(CORVANE_TEXT("%Y%m%d%H%M%S")));
    }
    return call(getattr(pd, CORVANE_NAME(DatetimeIndex)), call(to_datetime, source));
}

} // namespace

nb::object get_minute_bars_of_day(nb::handle self, nb::handle market_code, nb::handle day, nb::handle adjust_type,
                                  nb::handle variety) {
    nb::object key = nb::make_tuple(market_code, day, adjust_type);
    nb::object cache = getattr(self, CORVANE_NAME(_minute_bar_cache));
    if (contains(cache, key))
        return checked(PyObject_GetItem(cache.ptr(), key.ptr()));
    nb::object reply = minute_price(market_code, day, day, adjust_type, variety);
    nb::object bars = nb::none();
    if (!reply.is_none() && !truthy(getattr(reply, CORVANE_NAME(empty)))) {
        bars = ndarray_from_df(index_by_code_and_time(reply), nb::none());
    }
    if (PyObject_SetItem(cache.ptr(), key.ptr(), bars.ptr()) != 0)
        throw nb::python_error();
    return bars;
}

nb::object prepare_for(nb::handle self, nb::handle instrument, nb::handle dates, nb::handle adjust_type) {
    nb::object code = getattr(instrument, CORVANE_NAME(market_code));
    nb::object cache = getattr(self, CORVANE_NAME(_minute_bar_cache));
    nb::list missing;
    Py_ssize_t total = 0;
    nb::object it = checked(PyObject_GetIter(dates.ptr()));
    while (PyObject *raw_day = PyIter_Next(it.ptr())) {
        nb::object day = nb::steal(raw_day);
        ++total;
        if (!contains(cache, nb::make_tuple(code, day, adjust_type)))
            missing.append(day);
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    // At least 3 missing days and at least one fifth of the wanted ones (counted exactly).
    const Py_ssize_t n_missing = (Py_ssize_t)missing.size();
    if (n_missing < 3 || 5 * n_missing < total)
        return nb::none();
    nb::object first = missing[0], last = missing[n_missing - 1];
    if (trading_days_between(self, first, last) > 2 * n_missing)
        return nb::none(); // too scattered for one range call to pay
    nb::object variety = getattr(instrument, CORVANE_NAME(type));
    nb::object reply = minute_price(code, first, last, adjust_type, variety);
    // No bars in the range: nothing is stored; the days are fetched one by one when walked.
    if (reply.is_none() || truthy(getattr(reply, CORVANE_NAME(empty))))
        return nb::none();
    nb::object frame = call_method(reply, CORVANE_NAME(droplevel), nb::int_(0));
    // Bars in time order within each day, as the single-day fetch sorts them.
    frame = call_method(frame, CORVANE_NAME(sort_index));
    nb::object times = split_times(frame, equals(variety, CORVANE_TEXT("Future")));
    nb::list by = nb::list(nb::make_tuple(getattr(times, CORVANE_NAME(year)), getattr(times, CORVANE_NAME(month)),
                                          getattr(times, CORVANE_NAME(day))));
    nb::object groups = call_method(frame, CORVANE_NAME(groupby), by);
    nb::object timestamp = getattr(HS_GLOBAL(pd), CORVANE_NAME(Timestamp));
    nb::object git = checked(PyObject_GetIter(groups.ptr()));
    while (PyObject *raw_pair = PyIter_Next(git.ptr())) {
        nb::object pair = nb::steal(raw_pair);
        nb::object ymd = checked(PySequence_GetItem(pair.ptr(), 0));
        nb::object ts = checked(PyObject_Call(timestamp.ptr(), checked(PySequence_Tuple(ymd.ptr())).ptr(), nullptr));
        const int wanted = PySequence_Contains(missing.ptr(), ts.ptr());
        if (wanted < 0)
            throw nb::python_error();
        if (!wanted)
            continue;
        nb::object bars = ndarray_from_df(checked(PySequence_GetItem(pair.ptr(), 1)), nb::none());
        if (PyObject_SetItem(cache.ptr(), nb::make_tuple(code, ts, adjust_type).ptr(), bars.ptr()) != 0)
            throw nb::python_error();
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    return nb::none();
}

nb::object history_bars(nb::handle self, nb::handle instrument, nb::handle bar_count, nb::handle frequency,
                        nb::handle fields, nb::handle dt, nb::handle skip_suspended, nb::handle /*include_now*/,
                        nb::handle adjust_type, nb::handle /*adjust_orig*/) {
    if (equals(frequency, CORVANE_TEXT("1d")))
        return call_method(self, CORVANE_NAME(_history_day_bars), instrument, bar_count, fields, dt, skip_suspended,
                           adjust_type);
    if (equals(frequency, CORVANE_TEXT("1w"))) {
        PyErr_SetNone(PyExc_NotImplementedError);
        throw nb::python_error();
    }
    const Py_ssize_t flen = length_of(frequency);
    const int64_t resample =
        int64_of(checked(PyNumber_Long(checked(PySequence_GetSlice(frequency.ptr(), 0, flen - 1)).ptr())));
    nb::object fields_ =
        PyUnicode_Check(fields.ptr()) ? nb::object(nb::list(nb::make_tuple(fields))) : nb::borrow(fields);
    // `not skip_suspended or instrument.type != "stock"`: the type is read only when the flag holds.
    const bool plain = !truthy(skip_suspended) || !equals(getattr(instrument, CORVANE_NAME(type)), CORVANE_NAME(stock));
    // A replaced _prepare_for is handed the slice of the very sequence plain code would build (a
    // DatetimeIndex), so the days are kept natively only while the class's own method runs.
    const bool native_days = is_own_method(self, CORVANE_NAME(_prepare_for), own_prepare_for());
    const CandidateDays days =
        plain ? calendar_days(self, instrument, dt, native_days) : unsuspended_days(self, instrument, dt, native_days);
    const int64_t count = int64_of(bar_count);
    // A product beyond 64 bits saturates: n_days then exceeds any day list, as the unbounded
    // product would (or, negative, leaves none).
    int64_t minutes;
    if (__builtin_mul_overflow(count, resample, &minutes))
        minutes = ((count < 0) != (resample < 0)) ? -INT64_MAX : INT64_MAX;
    const int64_t n_days = corvane::dates::floor_div(minutes, kMinutesPerDay) + 1;
    // The class's own methods are called directly; a replaced one through the attribute.
    if (is_own_method(self, CORVANE_NAME(_prepare_for), own_prepare_for()))
        prepare_for(self, instrument, days.tail(n_days), adjust_type);
    else
        call_method(self, CORVANE_NAME(_prepare_for), instrument, days.tail(n_days), adjust_type);

    nb::object code = getattr(instrument, CORVANE_NAME(market_code));
    nb::object variety = getattr(instrument, CORVANE_NAME(type));
    nb::object resampler = resample != 1 ? HS_GLOBAL(resample_bars) : nb::object();
    nb::object resample_obj = nb::int_(resample);
    nb::list results;
    int64_t need = count;
    // Newest day first, down to the first candidate day: a stock queried on its listing day
    // has exactly one candidate day, and its bars are the answer.
    for (Py_ssize_t i = days.size() - 1; i >= 0; --i) {
        // looked up for every day, as the attribute read of a Python loop is
        const bool own = is_own_method(self, CORVANE_NAME(_get_minute_bars_of_day), own_minute_bars_of_day());
        nb::object bars =
            own ? get_minute_bars_of_day(self, code, days.at(i), adjust_type, variety)
                : call_method(self, CORVANE_NAME(_get_minute_bars_of_day), code, days.at(i), adjust_type, variety);
        if (bars.is_none())
            continue;
        if (resample != 1)
            bars = call(resampler, instrument, bars, fields_, resample_obj);
        results.append(fields.is_none() ? bars : checked(PyObject_GetItem(bars.ptr(), fields.ptr())));
        need -= length_of(bars);
        if (need <= 0)
            break;
    }
    if (results.size() == 0)
        return nb::none();
    if (PyList_Reverse(results.ptr()) != 0)
        throw nb::python_error();
    // Only the rows the answer keeps are copied: the result holds the same bars either way.
    const Py_ssize_t keep = count > 0 && count < PY_SSIZE_T_MAX ? (Py_ssize_t)count : -1;
    nb::object joined = join_bar_arrays(HS_GLOBAL(np), results, keep);
    const Py_ssize_t m = length_of(joined);
    return checked(PySequence_GetSlice(joined.ptr(), tail_start(m, count), m));
}

} // namespace histsource
