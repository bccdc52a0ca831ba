// The four readers of the per-instrument tick and bar histories. They never change the histories.
#include "livefeed.h"
#include "python_ops.h"

namespace livefeed {
namespace {

// history[market_code] when market_code is a key, else an empty object (the caller answers None).
nb::object instrument_history(PyObject *history_name, nb::handle market_code) {
    return corvane::lookup(globals.get(history_name), market_code);
}

nb::object newest(PyObject *history_name, nb::handle market_code) {
    nb::object dq = instrument_history(history_name, market_code);
    if (!dq.is_valid())
        return nb::none();
    return corvane::checked(PySequence_GetItem(dq.ptr(), -1));
}

// list(history[market_code])[count * -1:]: a copy, so later appends and the day switch leave the
// result alone; count 0 gives the whole list and a count that is not an integer fails as the
// slice does.
nb::object last_records(PyObject *history_name, nb::handle market_code, nb::handle count) {
    nb::object dq = instrument_history(history_name, market_code);
    if (!dq.is_valid())
        return nb::none();
    nb::object records = corvane::checked(PySequence_List(dq.ptr()));
    nb::object minus_one = nb::int_(-1);
    nb::object start = corvane::checked(PyNumber_Multiply(count.ptr(), minus_one.ptr()));
    nb::object slice = corvane::checked(PySlice_New(start.ptr(), Py_None, Py_None));
    return corvane::checked(PyObject_GetItem(records.ptr(), slice.ptr()));
}

} // namespace

void add_history_accessors(nb::module_ &m) {
    m.def(
        "get_current_tick", [](nb::handle market_code) { return newest(CORVANE_NAME(history_tick), market_code); },
        nb::arg("market_code").none());
    m.def(
        "get_current_bar", [](nb::handle market_code) { return newest(CORVANE_NAME(history_bar), market_code); },
        nb::arg("market_code").none());
    m.def(
        "history_ticks",
        [](nb::handle market_code, nb::handle count) {
            return last_records(CORVANE_NAME(history_tick), market_code, count);
        },
        nb::arg("market_code").none(), nb::arg("count").none());
    m.def(
        "history_bars",
        [](nb::handle market_code, nb::handle count) {
            return last_records(CORVANE_NAME(history_bar), market_code, count);
        },
        nb::arg("market_code").none(), nb::arg("count").none());
}

} // namespace livefeed
