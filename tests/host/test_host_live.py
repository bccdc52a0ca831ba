"""Checks of the live-side host stand-ins that hold real logic."""
import threading
import time
from datetime import datetime

import pytest

from corvane.tessara.const import L2_ORDER_TYPE, L2_TRADE_TYPE, ORDER_STATUS, ORDER_TYPE, POSITION_DIRECTION, SIDE
from corvane.tessara.core.events import EVENT, Event
from corvane.tessara.environment import Environment, InstrumentNotFound
from corvane.tessara.model.algo_child_order import AlgoChildOrder
from corvane.tessara.model.order import Order
from corvane.tessara.portfolio.position import Position
from corvane.tessara.utils import datetime_func as dtf
from corvane.tessara.utils import trade_func as tf
from corvane.tessara.utils.functools import lru_cache
from pyvorn import records
from pyvorn.enums import MarketType, TDType
from pyvorn.strategy import Context, ManualScheduler, ThreadScheduler

# Date-time conversions ------------------------------------------------------

@pytest.mark.parametrize("dt", [
    datetime(2026, 12, 8, 9, 30, 0),
    datetime(2005, 1, 4, 0, 0, 0),
    datetime(2049, 12, 31, 23, 59, 59),
])
def test_datetime_int_round_trip(dt):
    n = dtf.convert_dt_to_int(dt)
    assert n == int(dt.strftime("%Y%m%d%H%M%S"))
    assert dtf.convert_int_to_datetime(n) == dt
    assert dtf.convert_int_to_whole_date(n) == dt


@pytest.mark.parametrize("dt", [
    datetime(2026, 12, 8, 14, 59, 57),
    datetime(2026, 12, 8, 14, 59, 57, 1000),
    datetime(2026, 12, 8, 14, 59, 57, 500000),
    datetime(2026, 12, 8, 14, 59, 57, 999000),
    datetime(2026, 12, 8, 14, 59, 59, 999000),   # float rounds up to ..60
    datetime(2026, 12, 31, 23, 59, 59, 999000),  # and across midnight
])
def test_terminal_stamp_divided_by_1000_round_trips(dt):
    stamp = records.stamp_from_datetime(dt)
    assert records.datetime_from_stamp(stamp) == dt
    got = dtf.convert_int_to_datetime(stamp / 1000)
    assert abs((got - dt).total_seconds()) <= 0.004
    if dt.microsecond == 0:
        assert got == dt
    for n in (stamp / 1000, int(stamp / 1000)):
        whole = dtf.convert_int_to_whole_date(n)
        assert whole.microsecond == 0
        assert abs((whole - dt).total_seconds()) < 1


def test_date_forms():
    assert dtf.convert_int_to_datetime(20261208) == datetime(2026, 12, 8)
    assert dtf.convert_int_to_date(20261208093000) == datetime(2026, 12, 8)
    assert dtf.convert_dt_to_date_str(datetime(2026, 1, 2, 9, 3)) == "2026-01-02"
    assert dtf.convert_date_to_int(datetime(2026, 1, 2, 9, 3)) == 20260102


@pytest.mark.parametrize("bad, exc", [
    (20261308093000, ValueError),   # month 13
    (20261208093061, ValueError),   # second 61
    (float("nan"), ValueError),
    (-1, ValueError),
    ("20261208", TypeError),
    (None, TypeError),
])
def test_bad_date_numbers_raise(bad, exc):
    with pytest.raises(exc):
        dtf.convert_int_to_datetime(bad)


# Terminal code conversions ---------------------------------------------------

@pytest.mark.parametrize("market, suffix", [
    (MarketType.SZSE, "SZ"), (MarketType.SSE, "SH"),
    (MarketType.SZSE.value, "SZ"),
])
def test_exchange_suffix(market, suffix):
    assert tf.get_exchane_from_vorn_mdtype(market) == suffix


@pytest.mark.parametrize("market", [MarketType.NotSet, 99999, "SZSE", None])
def test_unknown_market_raises(market):
    with pytest.raises(ValueError):
        tf.get_exchane_from_vorn_mdtype(market)


@pytest.mark.parametrize("code, market, side, otype, kind", [
    ("1", MarketType.SZSE, SIDE.BUY, ORDER_TYPE.MARKET, L2_ORDER_TYPE.ADD),
    ("2", MarketType.SZSE, SIDE.SELL, ORDER_TYPE.LIMIT, L2_ORDER_TYPE.ADD),
    ("B", MarketType.SSE, SIDE.BUY, None, None),
    ("S", MarketType.SSE, SIDE.SELL, None, None),
])
def test_l2_order_codes(code, market, side, otype, kind):
    assert tf.get_side_from_vorn_l2_order(code, market) is side
    if otype is not None:
        assert tf.get_order_type_from_vorn_l2_order(code, market) is otype
        assert tf.get_l2order_type_from_vorn(code, market) is kind


def test_l2_codes_depend_on_market():
    assert tf.get_l2order_type_from_vorn("D", MarketType.SSE) is L2_ORDER_TYPE.DELETE
    with pytest.raises(ValueError):
        tf.get_side_from_vorn_l2_order("B", MarketType.SZSE)
    with pytest.raises(ValueError):
        tf.get_order_type_from_vorn_l2_order("2", MarketType.SSE)
    assert tf.get_trade_type_from_vorn("F") is L2_TRADE_TYPE.FILL
    assert tf.get_trade_type_from_vorn("4") is L2_TRADE_TYPE.CANCEL
    with pytest.raises(ValueError):
        tf.get_trade_type_from_vorn("Z")


def test_td_type_by_upper_case_name():
    assert tf.get_vorn_tdtype("VNTD") is TDType.VnTD
    assert tf.get_vorn_tdtype("SIMTD") is TDType.SimTD
    for bad in ("VnTD", "NOPE", None):
        with pytest.raises(ValueError):
            tf.get_vorn_tdtype(bad)


# Timers ------------------------------------------------------------------------

def test_thread_timer_fires_once_after_delay():
    ctx = Context(ThreadScheduler())
    fired = []
    done = threading.Event()

    def cb():
        fired.append(time.monotonic())
        done.set()

    start = time.monotonic()
    ctx.add_timer_interval(100_000_000, cb)
    assert done.wait(5)
    time.sleep(0.2)
    assert len(fired) == 1
    assert fired[0] - start >= 0.095
    assert ctx.calls == [("add_timer_interval", (100_000_000, cb))]


@pytest.mark.parametrize("delay, exc", [
    (1.5e9, TypeError), (True, TypeError), (-1, ValueError), ("1", TypeError)])
def test_timer_delay_must_be_non_negative_int(delay, exc):
    ctx = Context(ManualScheduler())
    with pytest.raises(exc):
        ctx.add_timer_interval(delay, lambda: None)
    assert ctx.calls == []


def test_manual_scheduler_runs_in_due_order_including_rearmed_timers():
    sched = ManualScheduler()
    ctx = Context(sched)
    seen = []

    def rearm():
        seen.append(("rearm", sched.now_ns))
        if sched.now_ns < 30:
            ctx.add_timer_interval(10, rearm)

    ctx.add_timer_interval(25, lambda: seen.append(("b", sched.now_ns)))
    ctx.add_timer_interval(10, rearm)
    ctx.add_timer_interval(25, lambda: seen.append(("c", sched.now_ns)))
    assert sched.advance(9) == 0
    assert sched.advance_to(100) == 5
    assert seen == [("rearm", 10), ("rearm", 20), ("b", 25), ("c", 25),
                    ("rearm", 30)]
    assert sched.pending == [] and sched.now_ns == 100


# Memoisation ----------------------------------------------------------------------

def test_lru_cache_capacity_and_eviction():
    calls = []

    @lru_cache(2)
    def square(x):
        calls.append(x)
        return x * x

    assert [square(1), square(2), square(1)] == [1, 4, 1]
    square(3)                 # evicts 2, the least recently used
    square(1)
    square(2)
    assert calls == [1, 2, 3, 2]


def test_lru_cache_on_method_keys_by_instance():
    class Source:
        def __init__(self):
            self.calls = 0

        @lru_cache(128)
        def info(self, code, hedge):
            self.calls += 1
            return (id(self), code, hedge)

    a, b = Source(), Source()
    assert a.info("IF", "speculation") == a.info("IF", "speculation")
    b.info("IF", "speculation")
    a.info("IF", "hedge")
    assert (a.calls, b.calls) == (2, 1)


# Environment and events --------------------------------------------------------------

def test_environment_install_and_event_bus():
    env = Environment.install(universe=["000001.SZ", "600000.SH"])
    assert Environment.get_instance() is env
    assert len(env.get_universe()) == 2
    assert env.data_proxy.instruments("600000.SH").market_code == "600000.SH"
    with pytest.raises(InstrumentNotFound):
        env.data_proxy.instruments("999999.SZ")
    assert env.get_instrument("999999.SZ") is None

    got = []
    env.event_bus.add_listener(EVENT.PRE_BEFORE_TRADING, got.append)
    env.event_bus.add_listener(EVENT.PRE_BEFORE_TRADING, lambda e: True)
    env.event_bus.add_listener(EVENT.PRE_BEFORE_TRADING, got.append)
    ev = Event(EVENT.PRE_BEFORE_TRADING, trading_dt=1)
    env.event_bus.publish_event(ev)
    assert got == [ev]
    assert repr(ev) == "Event(PRE_BEFORE_TRADING, trading_dt=1)"
    Environment.reset()


def test_get_account_by_instrument_type():
    from types import SimpleNamespace
    env = Environment.install(instruments=[
        SimpleNamespace(market_code="IF2612.CFFEX", type="Future"), "000001.SZ"])
    assert env.get_account("IF2612.CFFEX").account_id == "future"
    assert env.get_account("000001.SZ").account_id == "stock"
    Environment.reset()


# Model objects -----------------------------------------------------------------------------

def test_mark_rejected_leaves_final_orders_alone():
    o = Order("000001.SZ", 100, SIDE.BUY, 10.0)
    o.mark_rejected("20_no money")
    assert (o.status, o.message) == (ORDER_STATUS.REJECTED, "20_no money")
    o2 = Order("000001.SZ", 100, SIDE.BUY, 10.0)
    o2.status = ORDER_STATUS.FILLED
    o2.mark_rejected("late")
    assert o2.status is ORDER_STATUS.FILLED


def test_position_state():
    p = Position("000001.SZ", POSITION_DIRECTION.LONG, 300)
    p.set_state({"quantity": 500, "available_qty": 300, "avg_price": 9.5,
                 "last_price": 10.0, "market_value": 5000.0, "daily_pnl": 12.0})
    assert p.get_state()["quantity"] == 500 and p.init_quantity == 300
    with pytest.raises(KeyError):
        p.set_state({"quantity": 1, "bogus": 2})
    assert p.quantity == 500
    with pytest.raises(TypeError):
        Position("000001.SZ", "LONG", 1)


def test_from_vorn_merges_with_previous():
    first = AlgoChildOrder.from_vorn(records.ChildOrder(
        sys_quote_id=7, client_order_id=1, order_qty=100, order_price=10.0), None)
    second = AlgoChildOrder.from_vorn(records.ChildOrder(
        sys_quote_id=7, client_order_id=2, order_qty=200, order_price=None), first)
    assert (second.order_id, second.quantity, second.price) == (2, 200, 10.0)
    assert (first.update_count, second.update_count) == (1, 2)
    with pytest.raises(TypeError):
        AlgoChildOrder.from_vorn(records.ChildOrder(), object())


def test_system_log_lines_reach_logging(caplog):
    from corvane.tessara.utils.logger import system_log
    with caplog.at_level("DEBUG", logger="system_log"):
        system_log.debug("d")
        system_log.info("VornStrategy initialize...")
        system_log.warning("w")
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
        ("DEBUG", "d"), ("INFO", "VornStrategy initialize..."), ("WARNING", "w")]


def test_terminal_enum_members_are_not_ints():
    import pyvorn.enums as enums
    from pyvorn.enums import AlgoControlType, OrderStatusType
    assert all(hasattr(enums, n) for n in enums.__all__)
    assert len(OrderStatusType) == 9
    assert AlgoControlType.Pause != 1
    assert AlgoControlType(1) is AlgoControlType.Pause
