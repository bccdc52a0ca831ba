"""Shared fixtures for the live bridge's tests.

Every test starts from empty livefeed module state (histories, order maps,
vorn_params, a fresh event_queue) and ends with no framework environment
installed. A bridge's own context runs real timer threads: give a bridge the
`terminal_context` (simulated timers) before calling `initialize` or the
day-clock methods.

The data-source fixtures (`small_dataset`, `datasource_env`, `data_source`, `scripted_client`) are
defined in support_datasource and offered to every folder from here.
"""
import implementations  # first: in twin mode the twins must replace the modules before any import

implementations.install()

import datetime as _dt  # noqa: E402

import numpy as np  # noqa: E402
import pytest  # noqa: E402

import corvane.tessara.utils.livefeed as lf  # noqa: E402
import pyvorn.strategy  # noqa: E402
from corvane.tessara.environment import Environment  # noqa: E402

from support_datasource import data_source, datasource_env, scripted_client, small_dataset  # noqa: F401,E402
from support_live import make_config  # noqa: E402


def pytest_collection_modifyitems(config, items):
    implementations.skip_native_only(items)

_PER_DAY = ("vorn_params", "history_bar", "history_tick", "orders_dict",
            "algo_parent_orders", "algo_child_orders", "algo_child_trades",
            "algo_parent_id")


def _empty_state():
    for name in _PER_DAY:
        getattr(lf, name).clear()
    lf.event_queue = lf.RB(capacity=1000000, dtype=object)


@pytest.fixture(autouse=True)
def livefeed_state():
    """Empty livefeed state before and after each test; no current
    environment afterwards."""
    _empty_state()
    yield lf
    _empty_state()
    Environment.reset()


@pytest.fixture
def framework_env():
    """A fresh current framework Environment with an empty universe. Add
    instruments with `framework_env.data_proxy.add_instrument(code)` and set
    the universe with `framework_env.update_universe(codes)`."""
    env = Environment.install()
    yield env
    Environment.reset()


@pytest.fixture
def terminal_context():
    """A terminal context that records every call (`calls`, `calls_named`)
    and keeps timers until its `scheduler` is advanced."""
    return pyvorn.strategy.Context(pyvorn.strategy.ManualScheduler())


@pytest.fixture
def live_bridge(terminal_context):
    """A constructed VornStrategy (default configuration) whose context is
    `terminal_context`."""
    bridge = lf.VornStrategy(make_config())
    bridge.context = terminal_context
    return bridge


class _FakeDatetime(_dt.datetime):
    """datetime whose now() answers the time the test set."""
    current = _dt.datetime(2026, 12, 8, 10, 0, 0)

    @classmethod
    def now(cls, tz=None):
        return cls.current


class Clock:
    """Sets the time livefeed reads through its `datetime` and `np` names."""

    def __init__(self):
        self.fake = type("datetime", (_FakeDatetime,), {})
        self.np = _ClockNumpy(self)

    def set(self, *args):
        """clock.set(datetime) or clock.set(year, month, day, hour, ...)."""
        value = args[0] if len(args) == 1 else _dt.datetime(*args)
        self.fake.current = value

    @property
    def now(self):
        return self.fake.current



class _ClockNumpy:
    """numpy, except that datetime64("today", ...) is the clock's date."""

    def __init__(self, clock):
        self._clock = clock

    def datetime64(self, value, *unit):
        if isinstance(value, str) and value == "today":
            return np.datetime64(self._clock.now.date(), *unit)
        return np.datetime64(value, *unit)

    def __getattr__(self, name):
        return getattr(np, name)


@pytest.fixture
def clock(monkeypatch):
    """A settable wall clock for livefeed (`datetime.now()` and
    `np.datetime64("today", ...)`), starting at 2026-12-08 10:00:00."""
    c = Clock()
    monkeypatch.setattr(lf, "datetime", c.fake)
    monkeypatch.setattr(lf, "np", c.np)
    return c
