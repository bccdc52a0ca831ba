"""Terminal time stamps become seconds exactly as Python's `stamp / 1000` gives them, bit for
bit, on both sides of 2**53 and past the 64-bit range."""
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import corvane.tessara.utils.livefeed as lf

from support_reliability import LogRecorder, env, fresh_state, make_bridge, snapshot  # noqa: F401

EDGES = [0, 1, -1, 999, 1000, 1500, 2 ** 53 - 1, 2 ** 53, 2 ** 53 + 1, 2 ** 53 + 500, -(2 ** 53) - 500,
         20261208093000500, 20261208093000004, 99991231235959999, 2 ** 53 * 1000 - 1, 2 ** 53 * 1000,
         2 ** 63 - 1, -(2 ** 63), 2 ** 63, 10 ** 30 + 7, True]


@pytest.fixture
def seconds_of(monkeypatch, env):  # noqa: F811
    fresh_state(monkeypatch, [])
    monkeypatch.setattr(lf, "system_log", LogRecorder())
    seen = []
    monkeypatch.setattr(lf, "convert_int_to_datetime", lambda t: seen.append(t) or t)
    b = make_bridge()

    def run(stamp):
        rec = snapshot(0)
        rec.orig_time = stamp
        seen.clear()
        b.on_snapshot(rec)
        return seen[0]
    return run


def same(a, b):
    return type(a) is type(b) and (a == b or (a != a and b != b)) and repr(a) == repr(b)


@pytest.mark.parametrize("stamp", EDGES)
def test_edges(seconds_of, stamp):
    assert same(seconds_of(stamp), stamp / 1000)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.one_of(st.integers(-(2 ** 64), 2 ** 64), st.integers(2 ** 53 - 10 ** 6, 2 ** 53 * 1000 + 10 ** 6)))
def test_any_integer(seconds_of, stamp):
    assert same(seconds_of(stamp), stamp / 1000)
