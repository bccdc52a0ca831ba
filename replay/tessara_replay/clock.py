"""Simulated clock of a replay.

One `ManualScheduler` of the terminal stand-in carries the simulated time
(nanoseconds since midnight of the replayed day); everything that asks for
the time during a replay reads it from there. The live bridge reads the
wall clock through its module attributes `datetime` (the date-time class)
and `np` (for `np.datetime64("today", "D")`); `patched_bridge_clock`
replaces both with simulated ones for the length of the replay and puts
the originals back afterwards.
"""
import contextlib
import datetime as _dt
import types

import numpy as _np

from pyvorn.strategy import ManualScheduler

NS_PER_SECOND = 1_000_000_000
NS_PER_MINUTE = 60 * NS_PER_SECOND


class SimClock:
    """Simulated local time of one replayed day."""

    def __init__(self, day):
        self.midnight = _dt.datetime(day.year, day.month, day.day)
        self.scheduler = ManualScheduler(now_ns=0)

    @property
    def now_ns(self):
        return self.scheduler.now_ns

    def now(self):
        return self.at_ns(self.scheduler.now_ns)

    def at_ns(self, ns):
        """The date-time `ns` nanoseconds after midnight of the replayed day."""
        return self.midnight + _dt.timedelta(microseconds=ns // 1000)

    def ns_of(self, when):
        """Nanoseconds since midnight of the replayed day for a date-time."""
        delta = when - self.midnight
        return (delta.days * 86400 + delta.seconds) * NS_PER_SECOND + delta.microseconds * 1000

    def datetime_class(self):
        """A `datetime` class whose `now()` and `today()` give the simulated time."""
        clock = self

        class datetime(_dt.datetime):
            @classmethod
            def now(cls, tz=None):
                return clock.now()

            @classmethod
            def today(cls):
                return clock.now()

        datetime.__qualname__ = "datetime"
        datetime.__module__ = "datetime"
        return datetime

    def numpy_namespace(self):
        """numpy, except that `datetime64("today", ...)` is the simulated day."""
        clock = self

        def datetime64(*args, **kwargs):
            if args and isinstance(args[0], str) and args[0] in ("today", "now"):
                unit = args[1] if len(args) > 1 else kwargs.get("unit", "D")
                value = clock.now() if args[0] == "now" else clock.midnight
                return _np.datetime64(value, unit)
            return _np.datetime64(*args, **kwargs)

        ns = types.ModuleType("numpy")
        ns.__getattr__ = lambda name: getattr(_np, name)
        ns.datetime64 = datetime64
        return ns


@contextlib.contextmanager
def patched_bridge_clock(bridge_module, clock):
    """Replace the bridge's `datetime` and `np` with the simulated clock's."""
    saved = {name: getattr(bridge_module, name) for name in ("datetime", "np")}
    bridge_module.datetime = clock.datetime_class()
    bridge_module.np = clock.numpy_namespace()
    try:
        yield
    finally:
        for name, value in saved.items():
            setattr(bridge_module, name, value)
