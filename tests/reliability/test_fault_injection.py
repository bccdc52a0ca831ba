"""A fault injected in each outside name (framework utility, constructor, account
lookup, converter, logger, deep copy) leaves exactly the callbacks that read it,
as the bridge's table of outside names lists them, as that same exception; the
next callback works normally, with no stale state and no reference kept to the
record of the failed call."""

import sys
from datetime import datetime
from types import SimpleNamespace

import pytest

import corvane.tessara.utils.livefeed as lf
from corvane.tessara.core.events import EVENT
from pyvorn import strategy as terminal_strategy

from support_reliability import CALLS, LogRecorder, QuietLog, check_invariants, fresh_state, make_bridge, new_order

# Every outside name of the bridge, and the callbacks that read it (the table's own column): a
# fault in the name must reach exactly those callbacks.
OUTSIDE = sorted(row[0] for row in lf._outside_names)
READERS = {row[0]: set(row[4]) for row in lf._outside_names}
# Start-up and the day clock, called with no record (initialize reads self.config, not its argument).
TIMERS = ["initialize", "on_initialize", "on_switch_day", "set_timer", "send_before_trading_event",
          "send_open_auction_event", "send_after_trading_event", "send_next_day_event", "send_day_event"]
CALLBACKS = sorted(CALLS) + TIMERS
# Arguments that take the deep paths: fills, known orders, known parent orders.
GOOD_INDEX = {"on_bar": 2, "on_order": 2, "on_order_action_error": 0, "on_create_algo_parent_order_res": 1,
              "on_algo_parent_order_update": 1, "on_algo_child_order_update": 1,
              "on_algo_child_order_trade": 1, "on_control_algo_parent_order_res": 0}
# Pairs where the callback reads the name but catches the fault: on_query_position drops a position
# whose Position fails, with a warning, and still answers.
CAUGHT = {("on_query_position", "Position")}
# Callbacks that may keep the record itself in framework objects they store.
KEEPS_RECORD = {"on_algo_parent_order_update", "on_algo_child_order_update", "on_algo_child_order_trade"}


class InjectedFault(Exception):
    pass


class Boom:
    """Stands in for an outside name: any use of it fails."""

    def __init__(self, name):
        self.name = name

    def __getattr__(self, attr):
        raise InjectedFault("%s.%s" % (self.name, attr))

    def __call__(self, *args, **kwargs):
        raise InjectedFault(self.name)


@pytest.fixture(autouse=True)
def no_timer_threads(monkeypatch):
    """The timers `initialize` and `set_timer` arm go to a simulated scheduler: a real one would
    fire them on threads after the test, into later tests' queues, or with a name still broken."""
    monkeypatch.setattr(terminal_strategy, "scheduler_factory", terminal_strategy.ManualScheduler)


@pytest.fixture
def state(monkeypatch, env):  # noqa: F811
    fresh_state(monkeypatch, lf.RB(capacity=1000, dtype=object))
    monkeypatch.setattr(lf, "system_log", QuietLog())
    # an algorithmic account, so that initialize takes its algorithmic channel too
    bridge = make_bridge(SimpleNamespace(base=SimpleNamespace(accounts={"a": "x_VnTD"}, algo_account="y_ATX",
                                                              trading_calendar=[])))
    lf.orders_dict["C0"] = new_order("C0")
    lf.algo_parent_id.extend([1, 2])
    # two of the universe's three bars of one time: the third (on_bar's call) completes the BAR event
    for k in (0, 1):
        bridge.on_bar(*CALLS["on_bar"](k))
    return bridge


def call_of(bridge, name, i):
    if name == "send_day_event":
        return bridge.send_day_event, (EVENT.BEFORE_TRADING, datetime.now())
    if name == "initialize":
        return bridge.initialize, (None,)
    return getattr(bridge, name), CALLS[name](i) if name in CALLS else ()


@pytest.mark.parametrize("outside", OUTSIDE)
@pytest.mark.parametrize("name", CALLBACKS)
def test_fault_reaches_exactly_the_callbacks_that_read_the_name(state, monkeypatch, name, outside):
    bridge = state
    i = GOOD_INDEX.get(name, 0)
    method, args = call_of(bridge, name, i)
    record = args[0] if args and name in CALLS else None
    baseline = sys.getrefcount(record) if record is not None else 0
    queued = len(lf.event_queue)

    log = LogRecorder()
    with monkeypatch.context() as m:
        if outside != "system_log":
            m.setattr(lf, "system_log", log)
        m.setattr(lf, outside, Boom(outside))
        try:
            method(*args)
            faulted = False
        except InjectedFault:
            faulted = True
        except Exception as e:  # a different exception means the fault was not propagated as is
            pytest.fail("%s with %s broken raised %r instead of the injected fault" % (name, outside, e))
    reads = name in READERS[outside]
    if (name, outside) in CAUGHT:
        assert reads and not faulted and log.at("warning"), "%s did not report its failing %s" % (name, outside)
    else:
        assert faulted == reads, ("%s reads %s by the outside names, yet ran with it broken" if reads else
                                  "%s read %s, which the outside names do not list among its readers") % (name, outside)
    if faulted:
        # Nothing half-built reached the queue: only whole events from steps done before the fault.
        check_invariants(since=queued)
    del method

    if record is not None and name not in KEEPS_RECORD:
        assert sys.getrefcount(record) == baseline, "reference to the record kept after the fault"

    # The outside name is back; the next call of the same callback works and queues whole events.
    before = len(lf.event_queue)
    method, args = call_of(bridge, name, i + 2 if name == "on_order" else i)
    method(*args)
    check_invariants(since=before)


def test_every_listed_reader_is_a_callback_driven_here():
    listed = set().union(*READERS.values())
    assert listed <= set(CALLBACKS), sorted(listed - set(CALLBACKS))
    assert all(callable(getattr(lf.VornStrategy, cb, None)) for cb in CALLBACKS)


def test_fault_in_one_position_is_skipped_and_reported(state, monkeypatch):
    """on_query_position catches per position: a failing Position constructor
    drops that position with a warning and still answers the query."""
    from support_reliability import LogRecorder, positions
    log = LogRecorder()
    monkeypatch.setattr(lf, "system_log", log)
    calls = [0]
    real = lf.Position

    def flaky(*args):
        calls[0] += 1
        if calls[0] == 2:
            raise InjectedFault("second")
        return real(*args)

    monkeypatch.setattr(lf, "Position", flaky)
    state.on_query_position(positions(3), 9, 0, "")
    ev = lf.event_queue[len(lf.event_queue) - 1]
    assert ev.event_type is lf.EVENT.QUERY_POSITION and len(ev.positions) == 2
    assert len(log.at("warning")) == 1 and "000002" in log.at("warning")[0]
