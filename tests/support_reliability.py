"""Shared pieces of the reliability tests: a bridge with fresh module state,
well-formed terminal records for every callback, and the invariants the
bridge's state keeps whatever a callback did.
"""
import collections
import itertools
from datetime import datetime, timedelta
from types import SimpleNamespace

import pytest

import corvane.tessara.utils.livefeed as lf
from corvane.tessara.const import SIDE
from corvane.tessara.environment import Environment
from corvane.tessara.model.order import Order
from pyvorn import records
from pyvorn.enums import AlgoControlType, MarketType, OrderStatusType

from support_orders import LogRecorder  # noqa: F401  (re-exported for the reliability tests)

UNIVERSE = ["000001.SZ", "000002.SZ", "600000.SH"]

STATE_DICTS = ("history_bar", "history_tick", "orders_dict", "algo_parent_orders",
               "algo_child_orders", "algo_child_trades")
BASE_STAMP = 20261208093000000


class QuietLog:
    """A system_log that drops every line (for long runs)."""

    def debug(self, text):
        pass

    info = warning = debug


def fresh_state(monkeypatch, queue=None):
    """Replace the bridge's module state with new empty containers."""
    for name in STATE_DICTS:
        monkeypatch.setattr(lf, name, {})
    monkeypatch.setattr(lf, "algo_parent_id", [])
    monkeypatch.setattr(lf, "vorn_params", {})
    monkeypatch.setattr(lf, "overwritten_events", 0)
    if queue is None:
        queue = lf.RB(capacity=1000000, dtype=object)
    monkeypatch.setattr(lf, "event_queue", queue)
    return queue


def make_bridge(config=None):
    """A constructed bridge; the constructor is the bridge's own when built."""
    config = config or SimpleNamespace(base=SimpleNamespace(accounts={"a": "x_VnTD"},
                                                            trading_calendar=[]))
    try:
        return lf.VornStrategy(config)
    except NotImplementedError:
        s = lf.VornStrategy.__new__(lf.VornStrategy)
        s.bar_cnt = 0
        s.current_trade_dt = 0
        s.config = config
        return s


@pytest.fixture
def env():
    environment = Environment.install(universe=UNIVERSE)
    yield environment
    Environment.reset()


@pytest.fixture
def bridge(monkeypatch, env):
    fresh_state(monkeypatch)
    monkeypatch.setattr(lf, "system_log", QuietLog())
    return make_bridge()


def stamp(seq, base=BASE_STAMP):
    """A terminal time stamp `seq` milliseconds after 09:30 of the test day."""
    dt = records.datetime_from_stamp(base) + timedelta(milliseconds=seq)
    return records.stamp_from_datetime(dt)


# Well-formed records of every callback -----------------------------------------

def snapshot(i=0, code="000001"):
    return records.Snapshot(security_id=code, market_type=MarketType.SZSE, orig_time=stamp(1000 * i),
                            last_price=10.0 + i % 7, total_volume_trade=i, total_value_trade=10.0 * i,
                            bid_price=[10.0] * 10, bid_volume=[100] * 10,
                            ask_price=[10.01] * 10, ask_volume=[100] * 10)


def bar(i=0, code="000001"):
    return records.Bar(security_id=code, market_type=MarketType.SZSE,
                       end_time=stamp(60000 * (i // len(UNIVERSE))), open=1.0, close=1.1,
                       high=1.2, low=0.9, volume=100, amount=110.0)


def tick_order(i=0):
    return records.TickOrder(security_id="000001", order_time=stamp(1000 * i), biz_index=i,
                             orig_order_no=i, order_price=10.0, order_volume=100)


def tick_trade(i=0):
    return records.TickTrade(security_id="000001", trade_time=stamp(1000 * i), biz_index=i,
                             bid_appl_seq_num=i, offer_appl_seq_num=i % 3 + i - 1,
                             trade_price=10.0, trade_volume=100, value_trade=1000.0)


def positions(n=3):
    return [records.QueryPositionRes(security_id="%06d" % (k + 1), init_qty=100, leaves_qty=100,
                                     available_qty=100, cost_price=10.0, last_price=10.5,
                                     market_value=1050.0, profit_loss=50.0) for k in range(n)]


def new_order(coid, code="000001.SZ"):
    return Order(code, 1000, SIDE.BUY, price=10.0)


ORDER_LIFECYCLE = [  # (status, counter id, trade_qty, last_match_qty, total_trade_value)
    (OrderStatusType.Sended, 0, 0, 0, 0.0),
    (OrderStatusType.Sended, 77, 0, 0, 0.0),
    (OrderStatusType.PartiallyFilled, 77, 300, 300, 3000.0),
    (OrderStatusType.PartiallyFilledWaitCancelled, 77, 300, 0, 3000.0),
    (OrderStatusType.Filled, 77, 1000, 700, 10000.0),
    (OrderStatusType.Cancelled, 77, 1000, 0, 10000.0),
]


def order_report(coid, step):
    status, counter, trade_qty, last_qty, value = ORDER_LIFECYCLE[step]
    return records.OrderReport(client_order_id=coid, counter_order_id=counter, security_id="000001",
                               order_price=10.0, order_qty=1000, order_status=status, trade_qty=trade_qty,
                               total_trade_value=value, last_match_qty=last_qty, last_match_price=10.0,
                               frozen_trade_value=100.0)


# One well-formed call of every callback: (method name, args factory(i)).
CALLS = {
    "on_snapshot": lambda i: (snapshot(i),),
    "on_bar": lambda i: (bar(i, ("000001", "000002", "600000")[i % 3]),),
    "on_tick_order": lambda i: (tick_order(i),),
    "on_tick_trade": lambda i: (tick_trade(i),),
    "on_login": lambda i: (records.LoginRes(client_seq_id=i, fund_account_id="F1", error_code=i % 2),),
    "on_query_asset": lambda i: (records.QueryAssetRes(fund_account_id="F1", leaves_value=1.0), i, i % 2, "m"),
    "on_query_position": lambda i: (positions(), i, 0, ""),
    "on_order": lambda i: (order_report("C%d" % (i // 6), i % 6),),
    "on_trade": lambda i: (records.TradeReport(client_order_id="C1"),),
    "on_order_action_error": lambda i: (records.OrderActionError(client_order_id="C%d" % (i // 6)),),
    "on_algo_login": lambda i: (records.AlgoLoginRes(client_seq_id=i, trader_id="T"),),
    "on_create_algo_parent_order_res": lambda i: (records.CreateParentOrderRes(client_seq_id=i,
                                                                              sys_quote_id=i % 5),),
    "on_cancel_algo_parent_order_res": lambda i: (records.CancelParentOrderRes(sys_quote_id=i % 5),),
    "on_control_algo_parent_order_res": lambda i: (records.ControlParentOrderRes(
        sys_quote_id=1, control_type=(AlgoControlType.Pause, AlgoControlType.Resume)[i % 2]),),
    "on_algo_parent_order_update": lambda i: (records.ParentOrder(sys_quote_id=i % 5, order_qty=100,
                                                                  trade_qty=i % 100),),
    "on_algo_child_order_update": lambda i: (records.ChildOrder(sys_quote_id=i % 5, client_order_id=i,
                                                                order_qty=100),),
    "on_algo_child_order_trade": lambda i: (records.ChildTrade(sys_quote_id=i % 5, client_order_id=i,
                                                               trade_qty=10, trade_price=1.0),),
}

TIMERS = ("send_before_trading_event", "send_open_auction_event", "send_after_trading_event")


def register_orders(n, prefix="C"):
    """Put n framework orders into orders_dict under C0..C(n-1)."""
    for k in range(n):
        lf.orders_dict["%s%d" % (prefix, k)] = new_order("%s%d" % (prefix, k))


# Invariants ---------------------------------------------------------------------

def check_invariants(since=0):
    """The module state's invariants hold: every history deque non-empty, tick
    deques bounded at 60, every queued object (from position `since` on) a
    framework event."""
    for name in STATE_DICTS:
        assert type(getattr(lf, name)) is dict, name
    assert type(lf.algo_parent_id) is list
    for code, dq in lf.history_tick.items():
        assert isinstance(dq, collections.deque) and dq.maxlen == 60, code
        assert 1 <= len(dq) <= 60, code
        assert all(type(r) is dict and len(r) == 20 for r in dq)
    for code, dq in lf.history_bar.items():
        assert isinstance(dq, collections.deque) and dq.maxlen is None, code
        assert len(dq) >= 1, code
        assert all(type(r) is dict and len(r) == 9 for r in dq)
    q = lf.event_queue
    for k in range(since, len(q)):
        ev = q[k]
        assert isinstance(ev, lf.Event), ev
        assert isinstance(ev.event_type, lf.EVENT)


def counter():
    return itertools.count()


def day_clock_datetime(seq):
    """A `datetime` class whose now() hands out strictly increasing times from
    the shared counter `seq` (thread-safe: next() on a count is atomic)."""
    base = datetime(2026, 12, 8, 9, 0, 0)

    class clock(datetime):
        @classmethod
        def now(cls, tz=None):
            return base + timedelta(microseconds=next(seq))

    return clock
