"""event_queue keeps the ring buffer's overwrite rule, counts and reports every
overwrite of an undrained event; the framework-side drain releases its slots."""
import gc
import sys
import weakref

import pytest

import corvane.tessara.utils.livefeed as lf
from corvane.tessara.utils.event_drain import drain, take

from support_reliability import LogRecorder, bridge, env, fresh_state, make_bridge, snapshot  # noqa: F401


@pytest.fixture
def small(monkeypatch, env):  # noqa: F811
    queue = fresh_state(monkeypatch, lf.RB(capacity=4, dtype=object))
    log = LogRecorder()
    monkeypatch.setattr(lf, "system_log", log)
    return make_bridge(), queue, log


def ticks(queue):
    return [queue[k].tick.last_price for k in range(len(queue))]


def test_overwrite_keeps_newest_counts_and_warns_once(small):
    b, queue, log = small
    for i in range(4):
        b.on_snapshot(snapshot(i))
    assert lf.overwritten_events == 0 and log.at("warning") == []
    for i in range(4, 10):
        b.on_snapshot(snapshot(i))
    # The ring's own rule: the four newest stay, oldest first.
    assert [queue[k].tick.datetime for k in range(4)] == [
        lf.history_tick["000001.SZ"][k]["datetime"] for k in range(6, 10)]
    assert lf.overwritten_events == 6
    warnings = log.at("warning")
    assert len(warnings) == 1  # first occurrence only, within the rate bound
    assert "event_queue is full" in warnings[0] and "1 undrained" in warnings[0]


def test_warning_rate_bound_and_running_count(small, monkeypatch):
    b, queue, log = small
    monkeypatch.setattr(lf, "overwrite_warning_interval", 0.0)
    for i in range(7):
        b.on_snapshot(snapshot(i))
    assert lf.overwritten_events == 3
    assert len(log.at("warning")) == 3
    assert log.at("warning")[-1].endswith("3 in all")
    # A framework that resets the count restarts it.
    lf.overwritten_events = 0
    b.on_snapshot(snapshot(8))
    assert lf.overwritten_events == 1


def test_no_count_after_drain(small):
    b, queue, log = small
    for i in range(4):
        b.on_snapshot(snapshot(i))
    assert len(drain(queue, limit=2)) == 2
    for i in range(2):
        b.on_snapshot(snapshot(10 + i))
    assert lf.overwritten_events == 0 and len(queue) == 4


@pytest.mark.parametrize("queue_factory, counted", [
    (lambda: lf.RB(capacity=2, dtype=object, allow_overwrite=False), False),  # refuses: not lost
    (lambda: [], False),  # unbounded: never full
])
def test_other_queues(monkeypatch, env, queue_factory, counted):  # noqa: F811
    queue = fresh_state(monkeypatch, queue_factory())
    monkeypatch.setattr(lf, "system_log", LogRecorder())
    b = make_bridge()
    b.on_snapshot(snapshot(0))
    b.on_snapshot(snapshot(1))
    if isinstance(queue, list):
        b.on_snapshot(snapshot(2))
        assert len(queue) == 3
    else:
        with pytest.raises(IndexError):
            b.on_snapshot(snapshot(2))
    assert lf.overwritten_events == 0


def test_failing_logger_does_not_fail_the_callback(small, monkeypatch):
    b, queue, _ = small

    class Broken:
        def warning(self, text):
            raise RuntimeError("log down")

    monkeypatch.setattr(lf, "system_log", Broken())
    hooked = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: hooked.append(u.exc_value))
    for i in range(5):
        b.on_snapshot(snapshot(i))
    assert lf.overwritten_events == 1 and len(queue) == 4
    assert isinstance(hooked[0], RuntimeError)


def test_drain_releases_slots(small):
    b, queue, _ = small
    b.on_snapshot(snapshot(0))
    event = queue[0]
    ref = weakref.ref(event)
    lf.history_tick.clear()
    del event
    # A plain popleft leaves the slot referencing the event ...
    queue.popleft()
    gc.collect()
    assert ref() is not None
    queue._arr[:] = None
    # ... take() does not.
    b.on_snapshot(snapshot(1))
    ref = weakref.ref(queue[0])
    lf.history_tick.clear()
    got = take(queue)
    assert got is not None and ref() is got
    del got
    gc.collect()
    assert ref() is None
    assert take(queue) is None


def test_drain_order_and_handler(small):
    b, queue, _ = small
    for i in range(3):
        b.on_snapshot(snapshot(i))
    seen = []
    assert drain(queue, seen.append) == 3
    assert [e.tick.datetime for e in seen] == [r["datetime"] for r in lf.history_tick["000001.SZ"]]
    assert all(s is None for s in queue._arr)
