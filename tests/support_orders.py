"""Fixtures for the report callbacks of the live bridge: a bridge instance, the
queued events, the log lines, and private order and algorithmic-order maps.

The module's state is replaced by plain containers through monkeypatch; the
bridge reads every name from its module namespace, so the callbacks write to
these containers.
"""
import pytest

import corvane.tessara.utils.livefeed as lf
from corvane.tessara.environment import Environment


class LogRecorder:
    """Stands in for system_log: keeps (level, text) pairs."""

    def __init__(self):
        self.lines = []

    def debug(self, text):
        self.lines.append(("debug", text))

    def info(self, text):
        self.lines.append(("info", text))

    def warning(self, text):
        self.lines.append(("warning", text))

    def at(self, level):
        return [t for lvl, t in self.lines if lvl == level]


@pytest.fixture
def bridge():
    # Built without the constructor: the report callbacks use nothing it sets.
    return lf.VornStrategy.__new__(lf.VornStrategy)


@pytest.fixture
def events(monkeypatch):
    queue = []
    monkeypatch.setattr(lf, "event_queue", queue)
    return queue


@pytest.fixture
def logs(monkeypatch):
    rec = LogRecorder()
    monkeypatch.setattr(lf, "system_log", rec)
    return rec


@pytest.fixture
def orders(monkeypatch):
    book = {}
    monkeypatch.setattr(lf, "orders_dict", book)
    return book


@pytest.fixture
def algo_state(monkeypatch):
    state = {"algo_parent_id": [], "algo_parent_orders": {},
             "algo_child_orders": {}, "algo_child_trades": {}}
    for name, value in state.items():
        monkeypatch.setattr(lf, name, value)
    return state


@pytest.fixture
def env():
    environment = Environment.install(universe=["000001.SZ"])
    yield environment
    Environment.reset()


def kinds(queue):
    return [e.event_type.name for e in queue]
