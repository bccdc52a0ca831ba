// The trading-day clock: terminal timers that queue the day events, and the day switch.
// Delays are integer nanoseconds; every re-arming step comes last, so a failure ends its chain.
#include "livefeed.h"

namespace livefeed {
namespace {

// A Python int constant kept for the process.
PyObject *constant(long v) {
    PyObject *o = PyLong_FromLong(v);
    if (!o)
        throw nb::python_error();
    return o;
}

// `now` at hour:minute:00.000000 of its own day.
nb::object at_time(nb::handle now, long hour, long minute) {
    static PyObject *const zero = constant(0);
    nb::object h = corvane::checked(PyLong_FromLong(hour));
    nb::object m = corvane::checked(PyLong_FromLong(minute));
    return corvane::call_method_kw(now, CORVANE_NAME(replace),
                                   CORVANE_KWNAMES("hour", "minute", "second", "microsecond"), h, m, zero, zero);
}

// int((later - earlier).total_seconds() * 1000000000): floating-point seconds, truncated.
nb::object delay_ns(nb::handle later, nb::handle earlier) {
    static PyObject *const ns_per_s = constant(1000000000);
    nb::object span = corvane::checked(PyNumber_Subtract(later.ptr(), earlier.ptr()));
    nb::object seconds = corvane::call_method(span, CORVANE_NAME(total_seconds));
    nb::object ns = corvane::checked(PyNumber_Multiply(seconds.ptr(), ns_per_s));
    return corvane::checked(PyNumber_Long(ns.ptr()));
}

// datetime.now() through the module's current `datetime`.
nb::object clock_now(nb::handle datetime_cls) { return corvane::call_method(datetime_cls, CORVANE_NAME(now)); }

// The given hour of the day after datetime.now().
nb::object tomorrow_at(nb::handle datetime_cls, long hour) {
    static PyObject *const one = constant(1);
    nb::object today_at = at_time(clock_now(datetime_cls), hour, 0);
    nb::object day = corvane::call_kw(LF_GLOBAL(timedelta), CORVANE_KWNAMES("days"), one);
    return corvane::checked(PyNumber_Add(today_at.ptr(), day.ptr()));
}

// self.context.add_timer_interval(delay, self.<method>)
void arm(nb::handle context, nb::handle delay, nb::handle self, PyObject *method) {
    corvane::call_method(context, CORVANE_NAME(add_timer_interval), delay, corvane::getattr(self, method));
}

void arm_next_day(nb::handle self) {
    nb::object datetime_cls = LF_GLOBAL(datetime);
    nb::object midnight = tomorrow_at(datetime_cls, 0);
    nb::object delay = delay_ns(midnight, clock_now(datetime_cls));
    arm(corvane::getattr(self, CORVANE_NAME(context)), delay, self, CORVANE_NAME(send_next_day_event));
}

// A timer for `hour:minute` today when `now` is earlier; otherwise the late delay, or none when
// `late` is null.
void arm_for_today(nb::handle self, nb::handle context, nb::handle now, long hour, long minute, PyObject *late,
                   PyObject *method) {
    // Earlier than the target time of day is the same as earlier than the target on now's date.
    nb::object target = at_time(now, hour, minute);
    int ahead = PyObject_RichCompareBool(now.ptr(), target.ptr(), Py_LT);
    if (ahead < 0)
        throw nb::python_error();
    if (ahead)
        arm(context, delay_ns(target, now), self, method);
    else if (late)
        arm(context, late, self, method);
}

void send_now(nb::handle self, PyObject *kind_name) {
    nb::object kind = corvane::getattr(LF_GLOBAL(EVENT), kind_name);
    nb::object now = clock_now(LF_GLOBAL(datetime));
    corvane::call_method(self, CORVANE_NAME(send_day_event), kind, now);
}

} // namespace

void on_switch_day(nb::handle /*self*/) {
    // Emptied in this order; vorn_params, event_queue and the bar count stay as they are.
    PyObject *const per_day[] = {CORVANE_NAME(orders_dict),       CORVANE_NAME(history_bar),
                                 CORVANE_NAME(history_tick),      CORVANE_NAME(algo_parent_orders),
                                 CORVANE_NAME(algo_child_orders), CORVANE_NAME(algo_child_trades),
                                 CORVANE_NAME(algo_parent_id)};
    for (PyObject *name : per_day)
        corvane::call_method(globals.get(name), CORVANE_NAME(clear));
}

void create_time_listener(nb::handle self) {
    nb::object datetime64 = corvane::getattr(LF_GLOBAL(np), CORVANE_NAME(datetime64));
    nb::object current_date = corvane::call(datetime64, CORVANE_TEXT("today"), CORVANE_TEXT("D"));
    nb::object base = corvane::getattr(corvane::getattr(self, CORVANE_NAME(config)), CORVANE_NAME(base));
    nb::object calendar = corvane::getattr(base, CORVANE_NAME(trading_calendar));
    int trading_day = PySequence_Contains(calendar.ptr(), current_date.ptr());
    if (trading_day < 0)
        throw nb::python_error();
    if (!trading_day) {
        // Only logged: the day's timers are armed all the same.
        nb::object date_text = corvane::checked(PyObject_Str(current_date.ptr()));
        nb::object calendar_text = corvane::checked(PyObject_Str(calendar.ptr()));
        nb::object head = corvane::checked(PyUnicode_Concat(date_text.ptr(), CORVANE_TEXT(" not trade day... ")));
        nb::object line = corvane::checked(PyUnicode_Concat(head.ptr(), calendar_text.ptr()));
        corvane::call_method(LF_GLOBAL(system_log), CORVANE_NAME(info), line);
    }

    nb::object now = clock_now(LF_GLOBAL(datetime));
    nb::object context = corvane::getattr(self, CORVANE_NAME(context));
    static PyObject *const late_before = constant(3000000000L);
    static PyObject *const late_after = constant(20000000000L);
    arm_for_today(self, context, now, 9, 0, late_before, CORVANE_NAME(send_before_trading_event));
    arm_for_today(self, context, now, 9, 24, nullptr, CORVANE_NAME(send_open_auction_event));
    arm_for_today(self, context, now, 15, 30, late_after, CORVANE_NAME(send_after_trading_event));
}

void send_day_event(nb::handle /*self*/, nb::handle event_type, nb::handle dt) {
    nb::object event =
        corvane::call_kw(LF_GLOBAL(Event), CORVANE_KWNAMES("calendar_dt", "trading_dt"), event_type, dt, dt);
    append_event(LF_GLOBAL(event_queue), event);
}

void send_before_trading_event(nb::handle self) { send_now(self, CORVANE_NAME(BEFORE_TRADING)); }

void send_after_trading_event(nb::handle self) {
    send_now(self, CORVANE_NAME(AFTER_TRADING));
    corvane::call_method(LF_GLOBAL(orders_dict), CORVANE_NAME(clear));
}

void send_open_auction_event(nb::handle self) { send_now(self, CORVANE_NAME(OPEN_AUCTION)); }

void set_timer(nb::handle self) {
    corvane::call_method(self, CORVANE_NAME(create_time_listener));
    nb::object datetime_cls = LF_GLOBAL(datetime);
    nb::object tomorrow_8am = tomorrow_at(datetime_cls, 8);
    nb::object delay = delay_ns(tomorrow_8am, clock_now(datetime_cls));
    arm(corvane::getattr(self, CORVANE_NAME(context)), delay, self, CORVANE_NAME(set_timer));
}

void set_next_day_timer(nb::handle self) { arm_next_day(self); }

void send_next_day_event(nb::handle self) {
    send_now(self, CORVANE_NAME(NEXT_DAY_START));
    arm_next_day(self);
}

} // namespace livefeed
