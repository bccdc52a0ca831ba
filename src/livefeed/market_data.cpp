// Snapshot and bar intake: terminal records to tick and bar records, histories and events.
#include "attr_cache.h"
#include "class_attr_cache.h"
#include "livefeed.h"
#include "python_ops.h"
#include "record_fields.h"
#include "record_intake.h"

namespace livefeed {
namespace {

// Tick record keys, in record order: the market code and the converted time are built, the
// other values are copied from the snapshot attribute named beside each key.
constexpr const char *kTickBuilt[] = {"market_code", "datetime"};
constexpr corvane::Field kTickFields[] = {
    {"open_price", "open_price"},
    {"close_price", "close_price"},
    {"high_price", "high_price"},
    {"low_price", "low_price"},
    {"total_turnover", "total_value_trade"},
    {"volume", "total_volume_trade"},
    {"prev_close", "pre_close_price"},
    {"ask_vols", "ask_volume"},
    {"asks", "ask_price"},
    {"bid_vols", "bid_volume"},
    {"bids", "bid_price"},
    {"high_limited", "high_limited"},
    {"last_price", "last_price"},
    {"low_limited", "low_limited"},
    {"open_interest", "open_interest"},
    {"prev_settlement", "prev_settlement"},
    {"iopv", "iopv"},
    {"trading_phase_code", "trading_phase_code"},
};

// Bar record keys, likewise: the market code and the bar time, then the bar's own values.
constexpr const char *kBarBuilt[] = {"market_code", "orig_time"};
constexpr corvane::Field kBarFields[] = {
    {"open_price", "open"},       {"close_price", "close"}, {"high_price", "high"},       {"low_price", "low"},
    {"total_turnover", "amount"}, {"volume", "volume"},     {"prev_close", "prev_close"},
};

constexpr std::size_t kTickBuiltCount = sizeof(kTickBuilt) / sizeof(kTickBuilt[0]);
constexpr std::size_t kTickCopied = corvane::count_of(kTickFields);
constexpr std::size_t kBarBuiltCount = sizeof(kBarBuilt) / sizeof(kBarBuilt[0]);
constexpr std::size_t kBarCopied = corvane::count_of(kBarFields);

const RecordLayout &tick_layout() {
    static const RecordLayout layout(kTickBuilt, kTickFields);
    return layout;
}
const RecordLayout &bar_layout() {
    static const RecordLayout layout(kBarBuilt, kBarFields);
    return layout;
}

// Reads the copied fields of `record` into held[] and their values into values[first + i].
template <std::size_t N>
void read_fields(corvane::RecordReader<N> &reader, nb::handle record, nb::object (&held)[N], PyObject **values,
                 std::size_t first) {
    reader.read(record, held);
    for (std::size_t i = 0; i < N; ++i)
        values[first + i] = held[i].ptr();
}

nb::object new_tick_deque() {
    static PyObject *const maxlen = PyLong_FromLong(60);
    return corvane::call_kw(LF_GLOBAL(deque), CORVANE_KWNAMES("maxlen"), maxlen);
}

nb::object new_bar_deque() { return corvane::call(LF_GLOBAL(deque)); }

// The bar-count rule: bar_cnt counts bars of one bar time, restarting at 1 for a new time.
// The count is read only when it goes on; a new bar time sets it to 1 without reading it.
void count_bar(nb::handle self, nb::handle t) {
    nb::object current = CORVANE_ATTR(self, current_trade_dt);
    static PyObject *const zero = PyLong_FromLong(0);
    static PyObject *const one = PyLong_FromLong(1);
    bool same = corvane::same_or_equal(current.ptr(), zero);
    if (!same)
        same = corvane::same_or_equal(current.ptr(), t.ptr());
    nb::object count = nb::borrow(one);
    if (same)
        count = corvane::checked(PyNumber_Add(CORVANE_ATTR(self, bar_cnt).ptr(), one));
    CORVANE_SET_ATTR(self, bar_cnt, count);
    CORVANE_SET_ATTR(self, current_trade_dt, t);
}

} // namespace

void on_snapshot(nb::handle /*self*/, nb::handle snapshot) {
    nb::object convert = LF_GLOBAL(convert_int_to_datetime);
    nb::object dt = corvane::call(convert, stamp_seconds(CORVANE_ATTR(snapshot, orig_time)));
    nb::object code = market_code_of(snapshot, LF_GLOBAL(get_exchane_from_vorn_mdtype));

    // Every read happens before anything is stored, so a failing record changes nothing.
    static corvane::RecordReader<kTickCopied> reader(kTickFields);
    PyObject *values[kTickBuiltCount + kTickCopied];
    nb::object held[kTickCopied];
    values[0] = code.ptr();
    values[1] = dt.ptr();
    read_fields(reader, snapshot, held, values, kTickBuiltCount);
    nb::object record = tick_layout().make(values);

    append_to_history(LF_GLOBAL(history_tick), code, record, &new_tick_deque);

    // The tick object carries the very record held in the history. The queue, the event class and
    // its kind are read before the tick object is built, as the one expression that queues it runs.
    static corvane::ClassMethodSite get_instance;
    nb::object env = get_instance.lookup(LF_GLOBAL(Environment), CORVANE_NAME(get_instance))();
    nb::object proxy = CORVANE_ATTR(env, data_proxy);
    nb::object instrument = CORVANE_CALL_METHOD(proxy, instruments, code);
    nb::object queue = LF_GLOBAL(event_queue);
    nb::object event_cls = LF_GLOBAL(Event);
    nb::object kind = CORVANE_CLASS_ATTR(LF_GLOBAL(EVENT), TICK);
    nb::object tick = corvane::call(LF_GLOBAL(TickObject), instrument, record);
    nb::object event =
        corvane::call_kw(event_cls, CORVANE_KWNAMES("calendar_dt", "trading_dt", "tick"), kind, dt, dt, tick);
    append_event(queue, event);
}

void on_bar(nb::handle self, nb::handle bar) {
    nb::object code = market_code_of(bar, LF_GLOBAL(get_exchane_from_vorn_mdtype));
    nb::object convert = LF_GLOBAL(convert_int_to_datetime);
    nb::object t = stamp_seconds(CORVANE_ATTR(bar, end_time));
    nb::object bar_time = corvane::call(convert, t);

    static corvane::RecordReader<kBarCopied> reader(kBarFields);
    PyObject *values[kBarBuiltCount + kBarCopied];
    nb::object held[kBarCopied];
    values[0] = code.ptr();
    values[1] = bar_time.ptr();
    read_fields(reader, bar, held, values, kBarBuiltCount);
    nb::object record = bar_layout().make(values);

    append_to_history(LF_GLOBAL(history_bar), code, record, &new_bar_deque);

    // One BAR event per bar time, once as many bars of that time arrived as the universe holds;
    // the universe is read afresh for every bar.
    count_bar(self, t);
    // `self.bar_cnt == len(...)`: the attribute is read back (a data descriptor may keep another
    // value than the one stored), before the universe, as the left operand is.
    nb::object count = CORVANE_ATTR(self, bar_cnt);
    static corvane::ClassMethodSite get_instance;
    nb::object env = get_instance.lookup(LF_GLOBAL(Environment), CORVANE_NAME(get_instance))();
    nb::object universe = CORVANE_CALL_METHOD(env, get_universe);
    Py_ssize_t size = PyObject_Size(universe.ptr());
    if (size < 0)
        throw nb::python_error();
    nb::object n = corvane::checked(PyLong_FromSsize_t(size));
    if (!corvane::same_or_equal(count.ptr(), n.ptr()))
        return;
    nb::object whole = corvane::checked(PyNumber_Long(CORVANE_ATTR(self, current_trade_dt).ptr()));
    nb::object calendar_dt = corvane::call(LF_GLOBAL(convert_int_to_whole_date), whole);
    nb::object kind = CORVANE_CLASS_ATTR(LF_GLOBAL(EVENT), BAR);
    nb::object event = corvane::call_kw(LF_GLOBAL(Event), CORVANE_KWNAMES("calendar_dt", "trading_dt"), kind,
                                        calendar_dt, calendar_dt);
    append_event(LF_GLOBAL(event_queue), event);
    static PyObject *const zero = PyLong_FromLong(0);
    CORVANE_SET_ATTR(self, bar_cnt, nb::handle(zero));
}

} // namespace livefeed
