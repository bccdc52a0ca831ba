// Day-bar history as bar arrays: the suspension-aware path for stocks and the plain path, answered
// from the array form of the cached frame when it has one, else through the frame itself.
#include <algorithm>

#include "bar_array.h"
#include "dates.h"
#include "frame_views.h"
#include "histsource.h"
#include "python_ops.h"

namespace histsource {
namespace {

using corvane::call;
using corvane::call_method;
using corvane::checked;
using corvane::getattr;
using corvane::ssize_of;
using corvane::truthy;

constexpr int64_t kNanosPerDay = 86400LL * 1000000000LL;

// Start of the slice [-count:] over `size` elements, as Python computes it.
Py_ssize_t tail_start(Py_ssize_t size, Py_ssize_t count) {
    const Py_ssize_t start = -count;
    if (start < 0)
        return std::max<Py_ssize_t>(0, size + start);
    return std::min(start, size);
}

// The unsuspended days chosen for a query and the calendar span the cache must cover.
struct ChosenDays {
    std::vector<int64_t> days; // at midnight, ascending
    Py_ssize_t n_trading_dates = 0;
};

void choose_from_view(const SuspensionView &v, int64_t dt_ns, Py_ssize_t take, ChosenDays &out) {
    const auto end = std::upper_bound(v.active.begin(), v.active.end(), dt_ns);
    const Py_ssize_t k = end - v.active.begin();
    for (Py_ssize_t i = tail_start(k, take); i < k; ++i)
        out.days.push_back(corvane::dates::floor_div(v.active[(size_t)i], kNanosPerDay) * kNanosPerDay);
    if (out.days.empty())
        return;
    const auto first = std::lower_bound(v.index.begin(), v.index.end(), out.days.front());
    out.n_trading_dates = (Py_ssize_t)(v.index.end() - first);
}

// The same choice through the series itself, for series without an array form.
void choose_from_series(nb::handle suspended, nb::handle ts, Py_ssize_t take, ChosenDays &out) {
    // The entries' dates as date-times whatever index type the series carries.
    nb::object index = call(getattr(HS_GLOBAL(pd), CORVANE_NAME(to_datetime)), getattr(suspended, CORVANE_NAME(index)));
    nb::object unsuspended = checked(PyObject_RichCompare(suspended.ptr(), Py_False, Py_EQ));
    nb::object not_later = checked(PyObject_RichCompare(index.ptr(), ts.ptr(), Py_LE));
    nb::object mask = checked(PyNumber_And(getattr(unsuspended, CORVANE_NAME(values)).ptr(), not_later.ptr()));
    nb::object active = checked(PyObject_GetItem(index.ptr(), mask.ptr()));
    const Py_ssize_t k = PyObject_Length(active.ptr());
    nb::object tail = checked(PySequence_GetSlice(active.ptr(), tail_start(k, take), k));
    if (PyObject_Length(tail.ptr()) == 0)
        return;
    nb::object days = call_method(tail, CORVANE_NAME(normalize));
    // Nanoseconds whatever the index's unit (from pandas 2 on a date parsed from text or a date
    // object is held in seconds or microseconds): numpy's cast of its values, then their ticks.
    nb::object in_ns =
        call_method(getattr(days, CORVANE_NAME(values)), CORVANE_NAME(astype), nb::handle(CORVANE_TEXT("<M8[ns]")));
    nb::object asi8 = call_method(in_ns, CORVANE_NAME(view), nb::handle(CORVANE_TEXT("<i8")));
    const Py_ssize_t n = PyObject_Length(asi8.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object d = checked(PySequence_GetItem(asi8.ptr(), i));
        out.days.push_back(PyLong_AsLongLong(d.ptr()));
    }
    nb::object first = checked(PySequence_GetItem(days.ptr(), 0));
    nb::object pos = corvane::call_method_kw(index, CORVANE_NAME(searchsorted), CORVANE_KWNAMES("side"), first,
                                             nb::handle(CORVANE_NAME(left)));
    out.n_trading_dates = PyObject_Length(suspended.ptr()) - ssize_of(pos);
    if (PyErr_Occurred())
        throw nb::python_error();
}

// Positions of the rows dated on the chosen days, day by day; days the frame lacks are skipped.
std::vector<Py_ssize_t> rows_on_days(const std::vector<int64_t> &dates, const std::vector<int64_t> &days) {
    std::vector<Py_ssize_t> picks;
    for (int64_t d : days) {
        auto lo = std::lower_bound(dates.begin(), dates.end(), d);
        auto hi = std::upper_bound(lo, dates.end(), d);
        for (auto it = lo; it != hi; ++it)
            picks.push_back(it - dates.begin());
    }
    return picks;
}

bool is_stock(nb::handle instrument) {
    const int r = PyObject_RichCompareBool(getattr(instrument, CORVANE_NAME(type)).ptr(), CORVANE_NAME(stock), Py_EQ);
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

nb::object select_fields(nb::object result, nb::handle fields) {
    return fields.is_none() ? result : checked(PyObject_GetItem(result.ptr(), fields.ptr()));
}

nb::object field_list(nb::handle fields) {
    return PyUnicode_Check(fields.ptr()) ? nb::object(nb::make_tuple(fields)) : nb::borrow(fields);
}

// The answer from the array form of the cached frame.
nb::object answer_from_view(const DayFrameView &v, bool choose, const ChosenDays &chosen, Py_ssize_t bar_count,
                            nb::handle fields) {
    std::vector<Py_ssize_t> picks;
    Rows rows{0, v.nrows, nullptr};
    if (choose && v.nrows > bar_count) {
        picks = rows_on_days(v.dates, chosen.days);
        rows.picks = &picks;
    }
    if (rows.size() == 0 || v.ncols == 0)
        return nb::none();
    const Py_ssize_t start = tail_start(rows.size(), bar_count);
    if (rows.picks)
        picks.erase(picks.begin(), picks.begin() + start);
    else
        rows = Rows{start, v.nrows - start, nullptr};
    nb::object np = HS_GLOBAL(np);
    nb::object names_src = fields.is_none() ? nb::object(nb::none()) : field_list(fields);
    nb::list names = bar_field_names(names_src, v.dtypes);
    nb::object result = empty_array(np, bar_dtype(np, names, v.dtypes), rows.size());
    StructTarget target(result, rows.size());
    for (nb::handle name : names) {
        nb::object src = is_orig_time(name) ? v.times : checked(PyObject_GetItem(v.arrays.ptr(), name.ptr()));
        target.fill(name, src, rows);
    }
    return select_fields(result, fields);
}

// The answer through the frame, as the path is described step by step.
nb::object answer_from_frame(nb::handle df, bool choose, const ChosenDays &chosen, Py_ssize_t bar_count,
                             nb::handle fields) {
    nb::object frame = reindex_day_frame(df);
    const Py_ssize_t n = PyObject_Length(frame.ptr());
    if (n < 0)
        throw nb::python_error();
    if (choose && n > bar_count) {
        nb::object days = datetime_index(chosen.days);
        nb::object present = call_method(days, CORVANE_NAME(isin), getattr(frame, CORVANE_NAME(index)));
        nb::object kept = checked(PyObject_GetItem(days.ptr(), present.ptr()));
        frame = checked(PyObject_GetItem(getattr(frame, CORVANE_NAME(loc)).ptr(), kept.ptr()));
    }
    if (truthy(getattr(frame, CORVANE_NAME(empty))))
        return nb::none();
    nb::object names = fields.is_none() ? nb::object(nb::none()) : nb::object(nb::list(field_list(fields)));
    nb::object all = ndarray_from_df(frame, names);
    const Py_ssize_t m = PyObject_Length(all.ptr());
    nb::object tail = checked(PySequence_GetSlice(all.ptr(), tail_start(m, bar_count), m));
    return select_fields(tail, fields);
}

} // namespace

nb::object history_day_bars(nb::handle self, nb::handle instrument, nb::handle bar_count, nb::handle fields,
                            nb::handle dt, nb::handle skip_suspended, nb::handle adjust_type) {
    const Py_ssize_t count = ssize_of(bar_count);
    // `skip_suspended and instrument.type == "stock"`: the type is read only when the flag holds.
    const bool choose = truthy(skip_suspended) && is_stock(instrument);
    ChosenDays chosen;
    nb::object wanted = nb::borrow(bar_count);
    if (choose) {
        nb::object suspended = call(HS_GLOBAL(_is_suspended), getattr(instrument, CORVANE_NAME(market_code)));
        nb::object ts = call(getattr(HS_GLOBAL(pd), CORVANE_NAME(Timestamp)), dt);
        if (const SuspensionView *sv = suspension_view(suspended)) {
            const int64_t dt_ns = PyLong_AsLongLong(getattr(ts, CORVANE_NAME(value)).ptr());
            if (PyErr_Occurred())
                throw nb::python_error();
            choose_from_view(*sv, dt_ns, count + 1, chosen);
        } else {
            choose_from_series(suspended, ts, count + 1, chosen);
        }
        if (chosen.days.empty())
            return nb::none();
        wanted = nb::int_(chosen.n_trading_dates);
    }
    nb::object df = call_method(self, CORVANE_NAME(_get_day_bars), instrument, wanted, dt, adjust_type, skip_suspended);
    // An empty cached frame means no data; it may lack the index levels the re-indexing needs.
    if (df.is_none() || truthy(getattr(df, CORVANE_NAME(empty))))
        return nb::none();
    if (native_time_conversion())
        if (const DayFrameView *view = day_frame_view(df))
            // The day selection searches the view's dates, so it needs them in order; a frame
            // out of date order (a backward reply overlapping the cached days) goes the frame way.
            if (!choose || view->dates_sorted)
                return answer_from_view(*view, choose, chosen, count, fields);
    return answer_from_frame(df, choose, chosen, count, fields);
}

} // namespace histsource
