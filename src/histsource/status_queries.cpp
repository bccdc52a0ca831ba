// Suspension and special-treatment status, and the live-price queries this source refuses.
#include "histsource.h"
#include "table_util.h"

namespace histsource {
namespace {

// The values of a status table as the caller gets them. Under copy-on-write (pandas 3) `.values`
// is a read-only view of the client's frame, where older lines hand out a writable array; a
// read-only one is copied, so the answer is writable on every line and never reaches back into
// the client's frame.
nb::object status_values(nb::handle table) {
    nb::object values = corvane::getattr(table, CORVANE_NAME(values));
    nb::object flags = corvane::getattr_or_absent(values, CORVANE_NAME(flags));
    nb::object writeable = flags.is_valid() ? corvane::getattr_or_absent(flags, CORVANE_NAME(writeable)) : nb::object();
    if (writeable.is_valid() && !corvane::truthy(writeable))
        return corvane::call_method(values, CORVANE_NAME(copy));
    return values;
}

} // namespace

// Special treatment over `dates`: one client call, the single-day form for one date.
nb::object is_st_stock(nb::handle /*self*/, nb::handle market_code, nb::handle dates) {
    Py_ssize_t n = length_of(dates);
    if (n == 0)
        return nb::list(); // nothing to ask for, and no first date to ask with
    nb::object client = HS_GLOBAL(ostradatac);
    if (n == 1) {
        nb::object answer = corvane::call_method(client, CORVANE_NAME(_is_st_stock), market_code, item_at(dates, 0));
        nb::list one;
        one.append(answer);
        return one;
    }
    nb::object table =
        corvane::call_method(client, CORVANE_NAME(is_st_stock), market_code, item_at(dates, 0), item_at(dates, -1));
    if (no_data(table))
        return all_false(n);
    return status_values(table);
}

namespace {

// Only stocks are ever suspended; other types are answered from the environment alone.
bool is_stock(nb::handle market_code) {
    nb::object env = corvane::call_method(HS_GLOBAL(Environment), CORVANE_NAME(get_instance));
    nb::object instrument = corvane::call_method(env, CORVANE_NAME(get_instrument), market_code);
    nb::object type = corvane::getattr(instrument, CORVANE_NAME(type));
    return equals(type, CORVANE_NAME(stock));
}

nb::object text_of(nb::handle value) { return corvane::checked(PyObject_Str(value.ptr())); }

} // namespace

nb::object is_suspended(nb::handle /*self*/, nb::handle market_code, nb::handle dates) {
    bool stock = is_stock(market_code); // the instrument is looked up before dates are read
    Py_ssize_t n = length_of(dates);
    if (!stock || n == 0)
        return all_false(n);
    nb::object client = HS_GLOBAL(ostradatac);
    nb::object first = text_of(item_at(dates, 0)), last = text_of(item_at(dates, -1));
    PyObject *table = PyObject_CallMethodObjArgs(client.ptr(), CORVANE_NAME(is_suspended), market_code.ptr(),
                                                 first.ptr(), last.ptr(), nullptr);
    if (!table) {
        // the client signals a code or range it cannot answer with ValueError: no data
        if (!PyErr_ExceptionMatches(PyExc_ValueError))
            throw nb::python_error();
        PyErr_Clear();
        return all_false(n);
    }
    nb::object result = nb::steal(table);
    if (no_data(result))
        return all_false(n);
    return status_values(item(result, market_code.ptr()));
}

namespace {
[[noreturn]] void refuse() {
    PyErr_SetNone(PyExc_NotImplementedError);
    throw nb::python_error();
}
} // namespace

// This source holds history only: live prices, snapshots, single bars and trading minutes are
// refused.
nb::object get_trading_minutes_for(nb::handle, nb::handle, nb::handle) { refuse(); }

nb::object get_bar(nb::handle, nb::handle, nb::handle, nb::handle) { refuse(); }

nb::object get_last_price(nb::handle, nb::handle, nb::handle) { refuse(); }

nb::object current_snapshot(nb::handle, nb::handle, nb::handle, nb::handle) { refuse(); }

nb::object get_settle_price(nb::handle, nb::handle, nb::handle) { refuse(); }

} // namespace histsource
