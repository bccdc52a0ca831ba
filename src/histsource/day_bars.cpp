// Day bars from the data client, with the per-instrument day-bar cache.
#include "histsource.h"

#include "dates.h"
#include "index_entries.h"
#include "python_ops.h"

namespace histsource {
namespace {

using corvane::call;
using corvane::call_kw;
using corvane::call_method;
using corvane::call_method_kw;
using corvane::checked;
using corvane::compares;
using corvane::getattr;
using corvane::truthy;

// Midnight of the day of the earliest cached bar: the orig_time of the frame's first label,
// an integer YYYYMMDDHHMMSS (or YYYYMMDD) or a date-time.
nb::object earliest_bar_day(nb::handle frame) {
    nb::object index = getattr(frame, CORVANE_NAME(index));
    nb::object label = checked(PySequence_GetItem(index.ptr(), 0));
    // The orig_time level by name; without one, the last part of a tuple label, else the label's
    // own orig_time attribute, else the label itself.
    const Py_ssize_t level = orig_time_level(index);
    nb::object time = level >= 0                   ? entry_orig_time(label, level)
                      : PyTuple_Check(label.ptr()) ? checked(PySequence_GetItem(label.ptr(), -1))
                                                   : entry_orig_time(label, -1);
    if (!time.is_valid())
        time = label;
    nb::object pd = HS_GLOBAL(pd);
    if (!PyBool_Check(time.ptr()) && !PyFloat_Check(time.ptr()) && PyIndex_Check(time.ptr())) {
        nb::object as_int = checked(PyNumber_Index(time.ptr()));
        const long long v = PyLong_AsLongLong(as_int.ptr());
        uint64_t norm = 0;
        if (PyErr_Occurred() || !corvane::dates::normalise_int_time(v, norm)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError, "bar time is not YYYYMMDDHHMMSS: %S", time.ptr());
            throw nb::python_error();
        }
        const uint64_t date = norm / 1000000;
        return call(getattr(pd, CORVANE_NAME(Timestamp)), nb::int_(date / 10000), nb::int_(date / 100 % 100),
                    nb::int_(date % 100));
    }
    return call_method(call(getattr(pd, CORVANE_NAME(Timestamp)), time), CORVANE_NAME(normalize));
}

// Steps 1 to 6 of the cache: the cached value, lengthened backwards when it holds too few bars.
nb::object cached_day_bars(nb::handle self, nb::handle cache, nb::handle key, nb::handle instrument,
                           nb::handle bar_count, nb::handle adjust_type, nb::handle skip_suspended) {
    nb::object h = checked(PyObject_GetItem(cache.ptr(), key.ptr()));
    // A first fetch without data is kept as None: it means no data, not a frame to measure.
    if (h.is_none())
        return h;
    nb::object length = nb::int_(PyObject_Length(h.ptr()));
    if (PyErr_Occurred())
        throw nb::python_error();
    if (compares(length, bar_count, Py_GE) || truthy(getattr(h, CORVANE_NAME(empty))))
        return h;
    nb::object end_dt = call_method(self, CORVANE_NAME(get_previous_trading_date), earliest_bar_day(h));
    if (compares(end_dt, getattr(instrument, CORVANE_NAME(listed_date)), Py_LE))
        return h;
    nb::object shortfall = checked(PyNumber_Subtract(bar_count.ptr(), length.ptr()));
    nb::object r = call_method(self, CORVANE_TEXT("_OstraDataDataSource__get_day_bars"),
                               getattr(instrument, CORVANE_NAME(market_code)), shortfall, end_dt, adjust_type,
                               getattr(instrument, CORVANE_NAME(type)), skip_suspended);
    // Nothing older to be had: the cached frame stays as it is and answers.
    if (r.is_none() || truthy(getattr(r, CORVANE_NAME(empty))))
        return h;
    nb::object joined = call(getattr(HS_GLOBAL(pd), CORVANE_NAME(concat)), nb::make_tuple(r, h));
    if (PyObject_SetItem(cache.ptr(), key.ptr(), joined.ptr()) != 0)
        throw nb::python_error();
    return joined;
}

} // namespace

nb::object n_trading_days_before(nb::handle self, nb::handle dt, nb::handle count) {
    nb::object ts = call(getattr(HS_GLOBAL(pd), CORVANE_NAME(Timestamp)), dt);
    nb::object dates = getattr(self, CORVANE_NAME(_trading_dates));
    nb::object right =
        call_method_kw(dates, CORVANE_NAME(searchsorted), CORVANE_KWNAMES("side"), ts, nb::handle(CORVANE_NAME(right)));
    nb::object pos = checked(PyNumber_Subtract(right.ptr(), count.ptr()));
    if (compares(pos, nb::int_(0), Py_LT))
        pos = nb::int_(0);
    return checked(PyObject_GetItem(dates.ptr(), pos.ptr()));
}

nb::object private_get_day_bars(nb::handle self, nb::handle market_code, nb::handle bar_count, nb::handle dt,
                                nb::handle adjust_type, nb::handle variety, nb::handle skip_suspended) {
    nb::object one_more = checked(PyNumber_Add(bar_count.ptr(), nb::int_(1).ptr()));
    nb::object start_dt = call_method(self, CORVANE_NAME(_n_trading_days_before), dt, one_more);
    nb::object to_text = HS_GLOBAL(convert_dt_to_date_str);
    nb::object client = HS_GLOBAL(ostradatac);
    nb::object reply = call_kw(getattr(client, CORVANE_NAME(get_price)),
                               CORVANE_KWNAMES("frequency", "adjust_type", "expect_df", "variety", "skip_suspended"),
                               market_code, call(to_text, start_dt), call(to_text, dt), nb::handle(CORVANE_TEXT("1d")),
                               adjust_type, nb::bool_(true), variety, skip_suspended);
    if (reply.is_none() || truthy(getattr(reply, CORVANE_NAME(empty))))
        return reply;
    return index_by_code_and_time(reply);
}

nb::object get_day_bars(nb::handle self, nb::handle instrument, nb::handle bar_count, nb::handle dt,
                        nb::handle adjust_type, nb::handle skip_suspended) {
    nb::object code = getattr(instrument, CORVANE_NAME(market_code));
    nb::object key = nb::make_tuple(code, adjust_type);
    nb::object cache = getattr(self, CORVANE_NAME(_history_cache));
    try {
        return cached_day_bars(self, cache, key, instrument, bar_count, adjust_type, skip_suspended);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_KeyError))
            throw;
    }
    // First query for the key (or a missing key met on the way): one fetch, kept whatever it is.
    nb::object fresh = call_method(self, CORVANE_TEXT("_OstraDataDataSource__get_day_bars"), code, bar_count, dt,
                                   adjust_type, getattr(instrument, CORVANE_NAME(type)), skip_suspended);
    if (PyObject_SetItem(cache.ptr(), key.ptr(), fresh.ptr()) != 0)
        throw nb::python_error();
    return fresh;
}

} // namespace histsource
