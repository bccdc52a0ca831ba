"""The trading-day clock: timer delays at chosen times of day, the late
forms, the re-arming chains, the day events and the day switch."""
import datetime as dt
from collections import deque

import numpy as np
import pytest

import corvane.tessara.utils.livefeed as lf
from corvane.tessara.core.events import EVENT

from support_live import make_config, queued_events

DAY = dt.date(2026, 12, 8)
S = 1_000_000_000  # ns per second


def at(h, m=0, s=0, us=0, day=DAY):
    return dt.datetime(day.year, day.month, day.day, h, m, s, us)


class Log:
    def __init__(self):
        self.lines = []

    def info(self, text):
        self.lines.append(text)


@pytest.fixture
def log(monkeypatch):
    rec = Log()
    monkeypatch.setattr(lf, "system_log", rec)
    return rec


@pytest.fixture
def bridge(terminal_context, clock):
    b = lf.VornStrategy(make_config(trading_calendar=[np.datetime64(DAY, "D")]))
    b.context = terminal_context
    return b


def timers(context):
    """(delay, callback name) of every timer registered so far."""
    return [(delay, cb.__name__) for delay, cb in context.calls_named("add_timer_interval")]


# the day's listener --------------------------------------------------------------

@pytest.mark.parametrize("now, expected", [
    (at(8), [(3600 * S, "send_before_trading_event"), (5040 * S, "send_open_auction_event"),
             (27000 * S, "send_after_trading_event")]),
    (at(0), [(9 * 3600 * S, "send_before_trading_event"),
             ((9 * 3600 + 24 * 60) * S, "send_open_auction_event"),
             ((15 * 3600 + 1800) * S, "send_after_trading_event")]),
    (at(8, 59, 59, 999999), [(1000, "send_before_trading_event"),
                             (1440 * S + 1000, "send_open_auction_event"),
                             (23400 * S + 1000, "send_after_trading_event")]),
    (at(9), [(3 * S, "send_before_trading_event"), (1440 * S, "send_open_auction_event"),
             (23400 * S, "send_after_trading_event")]),
    (at(9, 23, 59, 500000), [(3 * S, "send_before_trading_event"),
                             (S // 2, "send_open_auction_event"),
                             (21960 * S + S // 2, "send_after_trading_event")]),
    (at(9, 24), [(3 * S, "send_before_trading_event"), (21960 * S, "send_after_trading_event")]),
    (at(15, 29, 59), [(3 * S, "send_before_trading_event"), (S, "send_after_trading_event")]),
    (at(15, 30), [(3 * S, "send_before_trading_event"), (20 * S, "send_after_trading_event")]),
    (at(16), [(3 * S, "send_before_trading_event"), (20 * S, "send_after_trading_event")]),
    (at(23, 59, 59, 999999), [(3 * S, "send_before_trading_event"),
                              (20 * S, "send_after_trading_event")]),
])
def test_listener_delays(bridge, terminal_context, clock, log, now, expected):
    clock.set(now)
    bridge.create_time_listener()
    got = timers(terminal_context)
    assert got == expected
    assert all(type(d) is int for d, _ in got)
    assert log.lines == []


def test_delay_is_truncated_floating_point_nanoseconds(bridge, terminal_context, clock):
    now = at(8, 0, 0, 1)
    clock.set(now)
    bridge.create_time_listener()
    expected = int((at(9) - now).total_seconds() * 1000000000)
    assert timers(terminal_context)[0][0] == expected


def test_timer_callbacks_are_the_bridge_methods(bridge, terminal_context, clock):
    clock.set(at(8))
    bridge.create_time_listener()
    callbacks = [cb for _, cb in terminal_context.calls_named("add_timer_interval")]
    assert all(cb.__self__ is bridge for cb in callbacks)
    callbacks[0]()
    assert [e.event_type for e in queued_events()] == [EVENT.BEFORE_TRADING]


@pytest.mark.parametrize("calendar", [[], [np.datetime64("2026-12-07", "D")]])
def test_not_a_trading_day_is_logged_only(terminal_context, clock, log, calendar):
    bridge = lf.VornStrategy(make_config(trading_calendar=calendar))
    bridge.context = terminal_context
    clock.set(at(8))
    bridge.create_time_listener()
    assert log.lines == ["2026-12-08 not trade day... " + str(calendar)]
    assert [name for _, name in timers(terminal_context)] == [
        "send_before_trading_event", "send_open_auction_event", "send_after_trading_event"]


def test_missing_calendar_ends_the_daily_chain(terminal_context, clock):
    bridge = lf.VornStrategy(make_config())
    del bridge.config.base.trading_calendar
    bridge.context = terminal_context
    with pytest.raises(AttributeError):
        bridge.set_timer()
    assert terminal_context.calls == []


def test_failing_registration_keeps_earlier_ones(bridge, terminal_context, clock, monkeypatch):
    real = terminal_context.add_timer_interval
    seen = []

    def second_fails(delay, cb):
        seen.append(cb.__name__)
        if len(seen) == 2:
            raise RuntimeError("timer service down")
        return real(delay, cb)

    monkeypatch.setattr(terminal_context, "add_timer_interval", second_fails)
    clock.set(at(8))
    with pytest.raises(RuntimeError):
        bridge.set_timer()
    assert timers(terminal_context) == [(3600 * S, "send_before_trading_event")]


# re-arming -----------------------------------------------------------------------

class SteppingClock(dt.datetime):
    """now() answers the queued readings in turn."""
    readings = []

    @classmethod
    def now(cls, tz=None):
        return cls.readings.pop(0)


def test_re_arm_delays_use_a_second_clock_reading(bridge, terminal_context, monkeypatch):
    monkeypatch.setattr(lf, "datetime", SteppingClock)
    SteppingClock.readings = [at(23), at(23, 0, 1)]
    bridge.set_next_day_timer()
    assert timers(terminal_context) == [(3599 * S, "send_next_day_event")]

    terminal_context.calls.clear()
    monkeypatch.setattr(bridge, "create_time_listener", lambda: None)
    SteppingClock.readings = [at(10, 30), at(10, 30, 0, 250000)]
    bridge.set_timer()
    assert timers(terminal_context) == [((21 * 3600 + 1800) * S - S // 4, "set_timer")]
    assert SteppingClock.readings == []


def test_send_next_day_event_queues_then_re_arms(bridge, terminal_context, clock):
    clock.set(at(0, 0, 0, 1500))
    bridge.send_next_day_event()
    (event,) = queued_events()
    assert event.event_type is EVENT.NEXT_DAY_START
    assert event.calendar_dt is event.trading_dt == at(0, 0, 0, 1500)
    assert timers(terminal_context) == [(86400 * S - 1500000, "send_next_day_event")]


def test_failing_queue_ends_the_next_day_chain(bridge, terminal_context, clock, monkeypatch):
    class Full:
        def append(self, event):
            raise OverflowError("queue closed")

    monkeypatch.setattr(lf, "event_queue", Full())
    with pytest.raises(OverflowError):
        bridge.send_next_day_event()
    assert terminal_context.calls == []


def test_two_days_of_the_running_clock(terminal_context, monkeypatch):
    """Start at 08:30 and let the simulated timer service run for two days; the
    wall clock follows the scheduler's time."""
    start = at(8, 30)
    sched = terminal_context.scheduler

    class Following(dt.datetime):
        @classmethod
        def now(cls, tz=None):
            return start + dt.timedelta(microseconds=sched.now_ns // 1000)

    monkeypatch.setattr(lf, "datetime", Following)
    days = [np.datetime64(DAY + dt.timedelta(days=i), "D") for i in range(3)]
    monkeypatch.setattr(lf, "np", type("N", (), {"datetime64": staticmethod(
        lambda v, u: np.datetime64(Following.now().date(), u))}))
    bridge = lf.VornStrategy(make_config(trading_calendar=days))
    bridge.context = terminal_context
    bridge.initialize(None)
    sched.advance((2 * 86400 - 3600) * S)  # to 07:30 two days on

    got = [(e.event_type, e.calendar_dt) for e in queued_events()]
    next_day = DAY + dt.timedelta(days=1)
    assert got == [
        (EVENT.BEFORE_TRADING, at(9)), (EVENT.OPEN_AUCTION, at(9, 24)),
        (EVENT.AFTER_TRADING, at(15, 30)), (EVENT.NEXT_DAY_START, at(0, day=next_day)),
        (EVENT.BEFORE_TRADING, at(9, day=next_day)), (EVENT.OPEN_AUCTION, at(9, 24, day=next_day)),
        (EVENT.AFTER_TRADING, at(15, 30, day=next_day)),
        (EVENT.NEXT_DAY_START, at(0, day=next_day + dt.timedelta(days=1))),
    ]
    assert all(e.calendar_dt is e.trading_dt for e in queued_events())
    # both chains still armed: 08:00 listener and next midnight
    pending = sorted(cb.__name__ for _, cb in sched.pending)
    assert pending == ["send_next_day_event", "set_timer"]


# day events ----------------------------------------------------------------------

@pytest.mark.parametrize("method, kind", [
    ("send_before_trading_event", EVENT.BEFORE_TRADING),
    ("send_open_auction_event", EVENT.OPEN_AUCTION),
    ("send_after_trading_event", EVENT.AFTER_TRADING),
])
def test_senders_queue_one_event_at_now(bridge, clock, method, kind):
    clock.set(at(9, 0, 0, 42))
    assert getattr(bridge, method)() is None
    (event,) = queued_events()
    assert event.event_type is kind
    assert event.fields() == {"calendar_dt": at(9, 0, 0, 42), "trading_dt": at(9, 0, 0, 42)}
    assert event.calendar_dt is event.trading_dt


def test_send_day_event_passes_its_arguments(bridge):
    when = object()
    bridge.send_day_event(EVENT.TICK, when)
    bridge.send_day_event(event_type="x", dt=None)
    first, second = queued_events()
    assert first.event_type is EVENT.TICK and first.calendar_dt is when and first.trading_dt is when
    assert second.event_type == "x" and second.fields() == {"calendar_dt": None, "trading_dt": None}


def test_after_trading_empties_orders_after_queuing(bridge, clock, monkeypatch):
    orders = {"c1": "order"}
    seen = []

    class Queue(list):
        def append(self, event):
            seen.append(dict(orders))
            super().append(event)

    q = Queue()
    monkeypatch.setattr(lf, "event_queue", q)
    monkeypatch.setattr(lf, "orders_dict", orders)
    bridge.send_after_trading_event()
    assert seen == [{"c1": "order"}] and orders == {} and len(q) == 1


# day switch ----------------------------------------------------------------------

def test_day_switch_empties_the_per_day_state_in_order(bridge, monkeypatch):
    cleared = []

    def recording(kind, name, content):
        cls = type("R", (kind,), {"clear": lambda self: (cleared.append(name), kind.clear(self))[1]})
        return cls(content)

    per_day = ["orders_dict", "history_bar", "history_tick", "algo_parent_orders",
               "algo_child_orders", "algo_child_trades"]
    for name in per_day:
        monkeypatch.setattr(lf, name, recording(dict, name, {"000001.SZ": deque([{"k": 1}])}))
    monkeypatch.setattr(lf, "algo_parent_id", recording(list, "algo_parent_id", ["p1"]))
    lf.vorn_params["vorn_md"] = "md"
    lf.event_queue.append("earlier event")
    bridge.bar_cnt, bridge.current_trade_dt = 2, 20261208093100.0

    assert bridge.on_switch_day() is None
    assert cleared == per_day + ["algo_parent_id"]
    assert all(len(getattr(lf, n)) == 0 for n in per_day + ["algo_parent_id"])
    assert lf.vorn_params == {"vorn_md": "md"}
    assert queued_events() == ["earlier event"]
    assert (bridge.bar_cnt, bridge.current_trade_dt) == (2, 20261208093100.0)
    for reader in (lf.get_current_tick, lf.get_current_bar):
        assert reader("000001.SZ") is None
    assert lf.history_ticks("000001.SZ", 5) is None and lf.history_bars("000001.SZ", 5) is None


@pytest.mark.parametrize("method", ["set_timer", "set_next_day_timer", "send_next_day_event"])
def test_re_arm_reads_the_clock_before_making_the_day_step(bridge, monkeypatch, method):
    """datetime.now().replace(...) + timedelta(days=1), then the second clock reading."""
    steps = []

    class Recording(dt.datetime):
        @classmethod
        def now(cls, tz=None):
            steps.append("now")
            return at(10)

    def one_day(**kw):
        steps.append("timedelta")
        return dt.timedelta(**kw)

    monkeypatch.setattr(lf, "datetime", Recording)
    monkeypatch.setattr(lf, "timedelta", one_day)
    monkeypatch.setattr(bridge, "create_time_listener", lambda: None)
    monkeypatch.setattr(bridge, "send_day_event", lambda kind, when: None)
    getattr(bridge, method)()
    assert steps[-3:] == ["now", "timedelta", "now"]
