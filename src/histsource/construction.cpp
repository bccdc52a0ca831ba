// Construction, instrument stores, the id-or-symbol map and the trading calendar.
#include <cstring>

#include "from_import.h"
#include "histsource.h"
#include "instrument_iterator.h"
#include "python_ops.h"
#include "table_util.h"

namespace histsource {
namespace {

// `from corvane.tessara.utils.login import init_gid`, done when a data source is built so the
// login module is loaded only by hosts that use this source.
nb::object import_init_gid() { return corvane::from_import("corvane.tessara.utils.login", "init_gid"); }

// The record's market code, or an empty object when the record has none.
nb::object record_code(nb::handle record) {
    PyObject *key = CORVANE_NAME(market_code);
    if (PyDict_Check(record.ptr())) {
        PyObject *v = PyDict_GetItemWithError(record.ptr(), key);
        if (!v && PyErr_Occurred())
            throw nb::python_error();
        return v ? nb::borrow(v) : nb::object();
    }
    PyObject *v = PyObject_GetItem(record.ptr(), key);
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError))
            throw nb::python_error();
        PyErr_Clear();
        return nb::object();
    }
    return nb::steal(v);
}

// Every instrument of the client's table whose record has a valid code, in table order.
nb::list load_instruments(nb::handle client) {
    nb::object table = corvane::call_method(client, CORVANE_NAME(all_instruments));
    nb::object records =
        corvane::call_method_kw(table, CORVANE_NAME(to_dict), CORVANE_KWNAMES("orient"), CORVANE_NAME(records));
    nb::object is_valid = HS_GLOBAL(_is_valid_order_book_ie);
    nb::object instrument_class = HS_GLOBAL(Instrument);
    nb::list instruments;
    nb::object iter = corvane::checked(PyObject_GetIter(records.ptr()));
    while (PyObject *raw = PyIter_Next(iter.ptr())) {
        nb::object record = nb::steal(raw);
        if (record.is_none())
            continue;
        nb::object code = record_code(record);
        if (!code.is_valid() || !truthy(corvane::call(is_valid, code)))
            continue;
        instruments.append(corvane::call(instrument_class, record));
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    return instruments;
}

// One store per default instrument type; every id or symbol a store lists maps to its type (a
// later type overwrites an earlier one).
void build_stores(nb::handle self, nb::handle instruments) {
    nb::dict type_map, stores;
    corvane::setattr(self, CORVANE_NAME(_ins_id_or_sym_type_map), type_map);
    corvane::setattr(self, CORVANE_NAME(_instruments_stores), stores);
    nb::object base = HS_GLOBAL(BaseDataSource);
    nb::object store_class = HS_GLOBAL(InstrumentStore);
    nb::object types = corvane::getattr(base, CORVANE_NAME(DEFAULT_INS_TYPES));
    nb::object type_iter = corvane::checked(PyObject_GetIter(types.ptr()));
    while (PyObject *raw = PyIter_Next(type_iter.ptr())) {
        nb::object ins_type = nb::steal(raw);
        nb::object store = corvane::call(store_class, instruments, ins_type);
        nb::object listed = corvane::getattr(store, CORVANE_NAME(all_id_and_syms));
        nb::object entries = corvane::checked(PyObject_GetIter(listed.ptr()));
        while (PyObject *entry = PyIter_Next(entries.ptr())) {
            int rc = PyDict_SetItem(type_map.ptr(), entry, ins_type.ptr());
            Py_DECREF(entry);
            if (rc != 0)
                throw nb::python_error();
        }
        if (PyErr_Occurred())
            throw nb::python_error();
        if (PyDict_SetItem(stores.ptr(), ins_type.ptr(), store.ptr()) != 0)
            throw nb::python_error();
    }
    if (PyErr_Occurred())
        throw nb::python_error();
}

// The exchange trading days from 2005-01-04 to 2050-01-01 as a DatetimeIndex of Timestamps.
nb::object load_trading_dates(nb::handle client) {
    nb::object dates = corvane::call_method(client, CORVANE_NAME(get_trading_dates), CORVANE_TEXT("2005-01-04"),
                                            CORVANE_TEXT("2050-01-01"));
    nb::object pd = HS_GLOBAL(pd);
    nb::object timestamp = corvane::getattr(pd, CORVANE_NAME(Timestamp));
    nb::list stamps;
    nb::object iter = corvane::checked(PyObject_GetIter(dates.ptr()));
    while (PyObject *raw = PyIter_Next(iter.ptr())) {
        nb::object date = nb::steal(raw);
        stamps.append(corvane::call(timestamp, date));
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    nb::object index = corvane::call_method(pd, CORVANE_NAME(DatetimeIndex), stamps);
    // From pandas 2 on, Timestamps of dates are held in seconds or microseconds; the calendar is
    // kept at nanoseconds, as pandas 1.5 makes it, so it compares, prints and is read the same on
    // every line (and the native calendar, which reads nanoseconds, serves it).
    nb::object dtype = corvane::getattr(index, CORVANE_NAME(dtype));
    nb::object text = corvane::checked(PyObject_Str(dtype.ptr()));
    const char *t = PyUnicode_AsUTF8(text.ptr());
    if (!t)
        throw nb::python_error();
    // (time-zone-aware dates, "datetime64[ns, <zone>]", are left as they come)
    if (std::strcmp(t, "datetime64[s]") == 0 || std::strcmp(t, "datetime64[ms]") == 0 ||
        std::strcmp(t, "datetime64[us]") == 0)
        index = corvane::call_method(index, CORVANE_NAME(astype), nb::handle(CORVANE_TEXT("datetime64[ns]")));
    return index;
}

// PRE_BEFORE_TRADING listener: day bars are fetched afresh every trading day, so the day-bar
// cache is emptied; the minute-bar cache keeps its entries. The listener holds the data source
// weakly: the event bus lives as long as the environment, and a data source the framework drops
// must be freed with its caches (the native closure is invisible to the garbage collector, so a
// strong reference there could never be collected). Once the source is gone the listener does
// nothing.
void register_cache_clearing(nb::handle self) {
    nb::object owner = corvane::checked(PyWeakref_NewRef(self.ptr(), nullptr));
    nb::object listener = nb::cpp_function(
        [owner](nb::handle /*event*/) {
            nb::object source = corvane::weak_target(owner);
            if (source.is_none())
                return;
            nb::object cache = corvane::getattr(source, CORVANE_NAME(_history_cache));
            corvane::call_method(cache, CORVANE_NAME(clear));
        },
        nb::name("clear_day_bar_cache"), nb::arg("event").none());
    nb::object environment = HS_GLOBAL(Environment);
    nb::object env = corvane::call_method(environment, CORVANE_NAME(get_instance));
    nb::object bus = corvane::getattr(env, CORVANE_NAME(event_bus));
    nb::object event_type = corvane::getattr(HS_GLOBAL(EVENT), CORVANE_NAME(PRE_BEFORE_TRADING));
    corvane::call_method(bus, CORVANE_NAME(add_listener), event_type, listener);
}

} // namespace

void data_source_init(nb::handle self) {
    corvane::call(import_init_gid());
    nb::object client = HS_GLOBAL(ostradatac);
    nb::list instruments = load_instruments(client);
    build_stores(self, instruments);

    nb::object trading_dates = load_trading_dates(client);
    corvane::setattr(self, CORVANE_NAME(_trading_dates), trading_dates);
    nb::object exchange = corvane::getattr(HS_GLOBAL(TRADING_CALENDAR_TYPE), CORVANE_NAME(EXCHANGE));
    nb::dict calendars;
    calendars[exchange] = trading_dates;
    nb::object mixin_init = corvane::getattr(HS_GLOBAL(TradingDatesMixin), CORVANE_NAME(__init__));
    corvane::call(mixin_init, self, calendars);

    corvane::setattr(self, CORVANE_NAME(_history_cache), nb::dict());
    nb::object lru = HS_GLOBAL(lru_dict);
    corvane::setattr(self, CORVANE_NAME(_minute_bar_cache), corvane::call(lru, nb::int_(512)));
    register_cache_clearing(self);
}

nb::object get_trading_calendars(nb::handle self) { return corvane::getattr(self, CORVANE_NAME(trading_calendars)); }

nb::object get_instruments(nb::handle self, nb::handle id_or_syms, nb::handle types) {
    return make_instrument_iterator(self, id_or_syms, types);
}

} // namespace histsource
