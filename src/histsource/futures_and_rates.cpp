// Futures commission and trading parameters, the yield curve and the available data range.
#include <cstdint>

#include "histsource.h"
#include "index_entries.h"
#include "table_util.h"

namespace histsource {
namespace {

// COMMISSION_TYPE.BY_MONEY for the text "by_money", BY_VOLUME for anything else.
nb::object commission_type_of(nb::handle value) {
    nb::object types = HS_GLOBAL(COMMISSION_TYPE);
    bool by_money = equals(value, CORVANE_NAME(by_money));
    return corvane::getattr(types, by_money ? CORVANE_NAME(BY_MONEY) : CORVANE_NAME(BY_VOLUME));
}

nb::object first_row(nb::handle table) { return item_at(corvane::getattr(table, CORVANE_NAME(iloc)), 0); }

} // namespace

nb::object get_yield_curve(nb::handle /*self*/, nb::handle start_date, nb::handle end_date, nb::handle tenor) {
    return corvane::call_method(HS_GLOBAL(ostradatac), CORVANE_NAME(get_yield_curve), start_date, end_date, tenor);
}

nb::object get_commission_info(nb::handle self, nb::handle instrument) {
    // through the memoised method, so a contract's terms are fetched once
    return corvane::call_method(self, CORVANE_NAME(_get_future_info), instrument, CORVANE_NAME(speculation));
}

nb::object get_future_info(nb::handle /*self*/, nb::handle instrument, nb::handle hedge_type) {
    nb::object code = corvane::getattr(instrument, CORVANE_NAME(market_code));
    nb::object table = corvane::call_method_kw(HS_GLOBAL(ostradatac), CORVANE_NAME(future_commission_margin),
                                               CORVANE_KWNAMES("hedge_flag"), code, hedge_type);
    if (no_data(table))
        return nb::none();
    nb::object row = first_row(table);
    nb::dict record;
    auto put = [&](PyObject *key, nb::handle value) {
        if (PyDict_SetItem(record.ptr(), key, value.ptr()) != 0)
            throw nb::python_error();
    };
    put(CORVANE_NAME(close_commission_ratio), item(row, CORVANE_NAME(close_commission_ratio)));
    put(CORVANE_NAME(close_commission_today_ratio), item(row, CORVANE_NAME(close_commission_today_ratio)));
    put(CORVANE_NAME(open_commission_ratio), item(row, CORVANE_NAME(open_commission_ratio)));
    put(CORVANE_NAME(commission_type), commission_type_of(item(row, CORVANE_NAME(commission_type))));
    put(CORVANE_NAME(short_margin_ratio), item(row, CORVANE_NAME(short_margin_ratio)));
    put(CORVANE_NAME(long_margin_ratio), item(row, CORVANE_NAME(long_margin_ratio)));
    return record;
}

nb::object get_futures_trading_parameters(nb::handle /*self*/, nb::handle instrument, nb::handle dt) {
    nb::object code = corvane::getattr(instrument, CORVANE_NAME(market_code));
    nb::object futures = corvane::getattr(HS_GLOBAL(ostradatac), CORVANE_NAME(futures));
    nb::object table = corvane::call_method(futures, CORVANE_NAME(get_trading_parameters), code, dt, dt);
    nb::object row = first_row(table);
    // read one at a time, in keyword order (argument evaluation order is unspecified in C++)
    nb::object close = item(row, CORVANE_NAME(close_commission));
    nb::object close_today = item(row, CORVANE_NAME(close_commission_today));
    nb::object kind = commission_type_of(item(row, CORVANE_NAME(commission_type)));
    nb::object open = item(row, CORVANE_NAME(open_commission));
    nb::object long_margin = item(row, CORVANE_NAME(long_margin_ratio));
    nb::object short_margin = item(row, CORVANE_NAME(short_margin_ratio));
    return corvane::call_kw(HS_GLOBAL(FuturesTradingParameters),
                            CORVANE_KWNAMES("close_commission_ratio", "close_commission_today_ratio", "commission_type",
                                            "open_commission_ratio", "long_margin_ratio", "short_margin_ratio"),
                            close, close_today, kind, open, long_margin, short_margin);
}

namespace {

// Days since 1970-01-01 of a date-like value (year, month, day attributes).
int64_t day_number(nb::handle date) {
    long y = 0, m = 0, d = 0;
    if (!date_part(date, CORVANE_NAME(year), y) || !date_part(date, CORVANE_NAME(month), m) ||
        !date_part(date, CORVANE_NAME(day), d)) {
        PyErr_SetString(PyExc_ValueError, "previous trading date is missing");
        throw nb::python_error();
    }
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// The date of the newest bar of a price table: the `orig_time` of its last index entry, given
// either as an integer YYYYMMDDHHMMSS or as a date-time.
nb::object last_bar_date(nb::handle table) {
    nb::object index = corvane::getattr(table, CORVANE_NAME(index));
    nb::object last = required_orig_time(index, item_at(index, -1));
    if (PyIndex_Check(last.ptr())) {
        nb::object when = corvane::call(HS_GLOBAL(convert_int_to_datetime), last);
        return corvane::call_method(when, CORVANE_NAME(date));
    }
    nb::object stamp = corvane::call(corvane::getattr(HS_GLOBAL(pd), CORVANE_NAME(Timestamp)), last);
    return corvane::call_method(stamp, CORVANE_NAME(date));
}

} // namespace

// (2005-01-04, date of the newest bar of the probe index): windows ending today and starting 7,
// 37, 67, ... days before the previous trading day, until one has bars. The windows stop at
// 2005-01-04, where the data begin; a client with no bars of the index even then gets a clear
// error rather than an endless search.
nb::object available_data_range(nb::handle self, nb::handle frequency) {
    nb::object datetime = HS_GLOBAL(datetime);
    nb::object date_class = corvane::getattr(datetime, CORVANE_NAME(date));
    nb::object timedelta = corvane::getattr(datetime, CORVANE_NAME(timedelta));
    nb::object client = HS_GLOBAL(ostradatac);
    nb::object to_date_str = HS_GLOBAL(convert_dt_to_date_str);
    nb::object first_day = corvane::call(date_class, nb::int_(2005), nb::int_(1), nb::int_(4));
    nb::object week = corvane::call_kw(timedelta, CORVANE_KWNAMES("days"), nb::int_(7));
    nb::object month = corvane::call_kw(timedelta, CORVANE_KWNAMES("days"), nb::int_(30));

    nb::object today = corvane::call_method(date_class, CORVANE_NAME(today));
    nb::object previous = corvane::call_method(self, CORVANE_NAME(get_previous_trading_date), today);
    nb::object start = corvane::checked(PyNumber_Subtract(previous.ptr(), week.ptr()));
    const int64_t floor_day = day_number(first_day);
    int64_t start_day = day_number(start);
    for (;;) {
        bool last_window = start_day <= floor_day;
        if (last_window)
            start = first_day;
        // start text, today, end text: in the order the call's arguments are written
        nb::object start_text = corvane::call(to_date_str, start);
        nb::object end = corvane::call_method(date_class, CORVANE_NAME(today));
        nb::object end_text = corvane::call(to_date_str, end);
        nb::object result =
            corvane::call_method_kw(client, CORVANE_NAME(get_price),
                                    CORVANE_KWNAMES("fields", "frequency", "adjust_type", "expect_df", "variety"),
                                    CORVANE_TEXT("000001.SH"), start_text, end_text, CORVANE_NAME(close_price),
                                    frequency, CORVANE_NAME(none), Py_True, CORVANE_NAME(index));
        // an empty table has no newest bar either
        if (!no_data(result))
            return nb::make_tuple(first_day, last_bar_date(result));
        if (last_window)
            break;
        start = corvane::checked(PyNumber_Subtract(start.ptr(), month.ptr()));
        start_day -= 30;
    }
    nb::object freq_text = corvane::checked(PyObject_Str(frequency.ptr()));
    PyErr_Format(PyExc_RuntimeError,
                 "available_data_range: the data client has no %U bars of 000001.SH since 2005-01-04", freq_text.ptr());
    throw nb::python_error();
}

} // namespace histsource
