"""Whether an append overwrites an undrained event is decided exactly as the queue itself
reports it: `maxlen` and `len()`, also for ring buffers whose indices have wrapped, for
subclasses and for a ring-buffer class whose methods were replaced."""
import numpy_ringbuffer
import pytest

import corvane.tessara.utils.livefeed as lf

from support_reliability import LogRecorder, env, fresh_state, make_bridge, snapshot  # noqa: F401


class AlwaysFull(numpy_ringbuffer.RingBuffer):
    def __len__(self):
        return self._capacity


def wrapped():
    """A ring whose indices have gone round several times, with one slot free."""
    q = lf.RB(capacity=3, dtype=object)
    for i in range(10):
        q.append(i)
    q.pop()
    return q


@pytest.mark.parametrize("make_queue, appends, overwrites", [
    (lambda: lf.RB(capacity=3, dtype=object), 5, 2),
    (wrapped, 3, 2),  # first append fills the free slot
    (lambda: AlwaysFull(capacity=50, dtype=object), 2, 2),  # the subclass's own len counts
])
def test_overwrites_counted_as_the_queue_reports_them(monkeypatch, env, make_queue, appends,  # noqa: F811
                                                      overwrites):
    fresh_state(monkeypatch, make_queue())
    monkeypatch.setattr(lf, "system_log", LogRecorder())
    b = make_bridge()
    for i in range(appends):
        b.on_snapshot(snapshot(i))
    assert lf.overwritten_events == overwrites


@pytest.mark.parametrize("attr, value, overwrites", [
    ("maxlen", property(lambda self: None), 0),  # unbounded now: never full
    ("__len__", lambda self: 0, 0),              # reports empty: never full
])
def test_replaced_ring_buffer_methods_take_effect(monkeypatch, env, attr, value, overwrites):  # noqa: F811
    fresh_state(monkeypatch, lf.RB(capacity=2, dtype=object))
    monkeypatch.setattr(lf, "system_log", LogRecorder())
    monkeypatch.setattr(numpy_ringbuffer.RingBuffer, attr, value)
    b = make_bridge()
    for i in range(4):
        b.on_snapshot(snapshot(i))
    assert lf.overwritten_events == overwrites
