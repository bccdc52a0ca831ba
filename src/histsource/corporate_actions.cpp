// Dividends and splits as record arrays, and share transformations.
#include "histsource.h"
#include "record_arrays.h"
#include "table_util.h"

namespace histsource {
namespace {

// The rows of a dividend table announced up to now; later announcements are not yet known to a
// strategy running on this day.
nb::object announced_until_now(nb::handle table) {
    nb::object datetime_class = corvane::getattr(HS_GLOBAL(datetime), CORVANE_NAME(datetime));
    nb::object now = corvane::call_method(datetime_class, CORVANE_NAME(now));
    nb::object index = corvane::getattr(table, CORVANE_NAME(index));
    nb::object mask = corvane::checked(PyObject_RichCompare(index.ptr(), now.ptr(), Py_LE));
    return item(table, mask.ptr());
}

void fill_date_column(nb::handle records, PyObject *field, nb::handle table, PyObject *column) {
    fill_int_field(records, field, encoded_dates(item(table, column)));
}

} // namespace

nb::object get_dividend(nb::handle /*self*/, nb::handle instrument) {
    nb::object code = corvane::getattr(instrument, CORVANE_NAME(market_code));
    nb::object client = HS_GLOBAL(ostradatac);
    nb::object table =
        corvane::call_method_kw(client, CORVANE_NAME(get_dividend), CORVANE_KWNAMES("adjusted"), code, Py_False);
    if (no_data(table))
        return nb::none();
    table = announced_until_now(table);
    nb::object records = empty_records(length_of(table), {{"announcement_date", "<u4"},
                                                          {"book_closure_date", "<u4"},
                                                          {"ex_dividend_date", "<u4"},
                                                          {"payable_date", "<u4"},
                                                          {"dividend_cash_before_tax", "<f8"},
                                                          {"round_lot", "<u4"}});
    fill_int_field(records, CORVANE_NAME(announcement_date),
                   encoded_dates(corvane::getattr(table, CORVANE_NAME(index))));
    fill_date_column(records, CORVANE_NAME(book_closure_date), table, CORVANE_NAME(book_closure_date));
    fill_date_column(records, CORVANE_NAME(ex_dividend_date), table, CORVANE_NAME(ex_dividend_date));
    fill_date_column(records, CORVANE_NAME(payable_date), table, CORVANE_NAME(payable_date));
    for (PyObject *column : {CORVANE_NAME(dividend_cash_before_tax), CORVANE_NAME(round_lot)})
        assign_field(records, column, corvane::getattr(item(table, column), CORVANE_NAME(values)));
    return records;
}

nb::object get_split(nb::handle /*self*/, nb::handle instrument) {
    nb::object code = corvane::getattr(instrument, CORVANE_NAME(market_code));
    nb::object client = HS_GLOBAL(ostradatac);
    nb::object table = corvane::call_method(client, CORVANE_NAME(get_split), code);
    if (no_data(table))
        return nb::none();
    nb::object records = empty_records(length_of(table), {{"ex_date", "<i8"}, {"split_factor", "<f8"}});
    std::vector<int64_t> ex_dates = encoded_dates(corvane::getattr(table, CORVANE_NAME(index)));
    for (int64_t &d : ex_dates)
        if (__builtin_mul_overflow(d, (int64_t)1000000, &d)) { // YYYYMMDDHHMMSS at midnight
            PyErr_SetString(PyExc_OverflowError, "ex-date out of range for a 64-bit date-time");
            throw nb::python_error();
        }
    fill_int_field(records, CORVANE_NAME(ex_date), ex_dates);
    nb::object to = corvane::getattr(item(table, CORVANE_NAME(split_coefficient_to)), CORVANE_NAME(values));
    nb::object from = corvane::getattr(item(table, CORVANE_NAME(split_coefficient_from)), CORVANE_NAME(values));
    nb::object factor = corvane::checked(PyNumber_TrueDivide(to.ptr(), from.ptr()));
    assign_field(records, CORVANE_NAME(split_factor), factor);
    return records;
}

nb::object get_share_transformation(nb::handle /*self*/, nb::handle market_code) {
    nb::object client = HS_GLOBAL(ostradatac);
    PyObject *raw = nullptr;
    // a deployment's data client may lack the operation: that is no data, noted at debug level
    if (PyObject *operation = PyObject_GetAttr(client.ptr(), CORVANE_NAME(get_share_transformation))) {
        raw = PyObject_CallOneArg(operation, market_code.ptr());
        Py_DECREF(operation);
    }
    if (!raw) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
        nb::object line = corvane::checked(
            PyUnicode_FromFormat("ostradatac no api get_share_transformation for get %S", market_code.ptr()));
        corvane::call_method(HS_GLOBAL(system_log), CORVANE_NAME(debug), line);
        return nb::none();
    }
    nb::object table = nb::steal(raw);
    if (no_data(table))
        return nb::none();
    nb::object row = corvane::getattr(table, CORVANE_NAME(loc));
    nb::object zero = nb::int_(0);
    nb::object successor = item(row, nb::make_tuple(zero, "successor").ptr());
    nb::object ratio = item(row, nb::make_tuple(zero, "share_conversion_ratio").ptr());
    return nb::make_tuple(successor, ratio);
}

} // namespace histsource
