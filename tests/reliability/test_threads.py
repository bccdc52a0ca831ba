"""The bridge under three threads: terminal callbacks on one, the terminal's
timers (day events and the day switch) on another, the framework draining
event_queue and reading the history accessors on a third. Every event is
queued exactly once and drained in the order each thread produced it.

Short form: 60,000 events. CORVANE_LONG=1: 1,000,000 events.
"""
import itertools
import os
import threading

import corvane.tessara.utils.livefeed as lf
from corvane.tessara.utils.event_drain import take

from support_reliability import UNIVERSE, day_clock_datetime, register_orders, snapshot, tick_trade

TOTAL = 1_000_000 if os.environ.get("CORVANE_LONG") else 60_000
TIMER_SHARE = 10  # one timer event for every 10 callback events
CODES = ["000001", "000002"]


def test_three_threads_every_event_once_in_order(bridge, monkeypatch):  # noqa: F811
    seq = itertools.count(1)
    monkeypatch.setattr(lf, "datetime", day_clock_datetime(seq))
    n_timer = TOTAL // (TIMER_SHARE + 1)
    n_callback = TOTAL - n_timer
    done = threading.Event()
    errors = []
    drained = []
    reads = [0]

    def callbacks():
        try:
            for i in range(n_callback):
                if i % 4 == 3:
                    bridge.on_tick_trade(tick_trade(i))
                else:
                    bridge.on_snapshot(snapshot(i, CODES[i % 2]))
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)

    timer_calls = (bridge.send_before_trading_event, bridge.send_open_auction_event,
                   bridge.send_after_trading_event)

    def timers():
        try:
            for k in range(n_timer):
                timer_calls[k % 3]()
                if k % 500 == 499:
                    bridge.on_switch_day()  # empties the histories under the reader's feet
                    register_orders(2)
        except BaseException as e:  # pragma: no cover
            errors.append(e)

    def framework():
        try:
            queue = lf.event_queue
            while True:
                finished = done.is_set()
                while len(queue):
                    drained.append(take(queue))
                for code in UNIVERSE:
                    t = lf.get_current_tick(code)
                    h = lf.history_ticks(code, 60)
                    assert t is None or type(t) is dict
                    assert h is None or 1 <= len(h) <= 60
                    reads[0] += 1
                if finished:
                    break
        except BaseException as e:  # pragma: no cover
            errors.append(e)

    producers = [threading.Thread(target=callbacks), threading.Thread(target=timers)]
    reader = threading.Thread(target=framework)
    reader.start()
    for t in producers:
        t.start()
    for t in producers:
        t.join(timeout=600)
        assert not t.is_alive(), "deadlock: producer still running"
    done.set()
    reader.join(timeout=600)
    assert not reader.is_alive(), "deadlock: drain still running"
    assert errors == []

    assert len(drained) == TOTAL == n_callback + n_timer
    assert len(set(map(id, drained))) == TOTAL
    assert lf.overwritten_events == 0
    ticks = [e for e in drained if e.event_type is lf.EVENT.TICK]
    l2 = [e for e in drained if e.event_type is lf.EVENT.L2_TRANSACTION]
    day = [e for e in drained if e.event_type not in (lf.EVENT.TICK, lf.EVENT.L2_TRANSACTION)]
    # Callback thread: snapshot and transaction times rise with the callback index.
    callback_events = [e for e in drained if e.event_type in (lf.EVENT.TICK, lf.EVENT.L2_TRANSACTION)]
    times = [e.calendar_dt for e in callback_events]
    assert len(callback_events) == n_callback and times == sorted(times) and len(set(times)) == n_callback
    assert len(ticks) + len(l2) == n_callback
    # Timer thread: its clock hands out rising times, so order shows as rising calendar_dt.
    day_times = [e.calendar_dt for e in day]
    assert len(day) == n_timer and day_times == sorted(day_times) and len(set(day_times)) == n_timer
    assert reads[0] > 0
