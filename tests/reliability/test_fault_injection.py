"""A fault injected at each outside call of each callback (framework utility,
constructor, account lookup, converter, logger, deep copy) leaves the callback
as that same exception; the next callback works normally, with no stale state
and no reference kept to the record of the failed call."""

import sys

import pytest

import corvane.tessara.utils.livefeed as lf

from support_reliability import CALLS, QuietLog, check_invariants, fresh_state, make_bridge, new_order

OUTSIDE = ["Environment", "Event", "TickObject", "Trade", "L2Order", "L2Transaction",
           "convert_int_to_whole_date", "convert_int_to_datetime", "get_exchane_from_vorn_mdtype",
           "get_side_from_vorn_l2_order", "get_order_type_from_vorn_l2_order", "get_trade_type_from_vorn",
           "get_l2order_type_from_vorn", "system_log", "AlgoParentOrder", "AlgoChildOrder",
           "AlgoChildTrade", "Asset", "Position", "copy", "deque", "SIDE", "ORDER_STATUS",
           "POSITION_DIRECTION", "OrderStatusType", "datetime"]
TIMERS = ["send_before_trading_event", "send_open_auction_event", "send_after_trading_event",
          "send_day_event_direct"]
# Arguments that take the deep paths: fills, known orders, known parent orders.
GOOD_INDEX = {"on_order": 2, "on_order_action_error": 0, "on_create_algo_parent_order_res": 1,
              "on_algo_parent_order_update": 1, "on_algo_child_order_update": 1,
              "on_algo_child_order_trade": 1, "on_control_algo_parent_order_res": 0}
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


@pytest.fixture
def state(monkeypatch, env):  # noqa: F811
    fresh_state(monkeypatch, lf.RB(capacity=1000, dtype=object))
    monkeypatch.setattr(lf, "system_log", QuietLog())
    bridge = make_bridge()
    lf.orders_dict["C0"] = new_order("C0")
    lf.algo_parent_id.extend([1, 2])
    return bridge


def call_of(bridge, name, i):
    if name == "send_day_event_direct":
        return (lambda: bridge.send_day_event(lf.EVENT.BEFORE_TRADING, lf.datetime.now())), ()
    return getattr(bridge, name), CALLS[name](i) if name in CALLS else ()


@pytest.mark.parametrize("outside", OUTSIDE)
@pytest.mark.parametrize("name", sorted(CALLS) + TIMERS)
def test_fault_propagates_and_next_call_works(state, monkeypatch, name, outside):
    bridge = state
    i = GOOD_INDEX.get(name, 0)
    method, args = call_of(bridge, name, i)
    record = args[0] if args else None
    baseline = sys.getrefcount(record) if record is not None else 0
    queued = len(lf.event_queue)

    with monkeypatch.context() as m:
        m.setattr(lf, outside, Boom(outside))
        try:
            method(*args)
            faulted = False
        except InjectedFault:
            faulted = True
        except Exception as e:  # a different exception means the fault was not propagated as is
            pytest.fail("%s with %s broken raised %r instead of the injected fault" % (name, outside, e))
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
