"""Order reports of the live bridge: status table, fills, rejections, cancel errors."""
import copy
from types import SimpleNamespace

import pytest

import corvane.tessara.utils.livefeed as lf
from corvane.tessara.const import ORDER_STATUS, SIDE
from corvane.tessara.core.events import EVENT
from corvane.tessara.model.order import Order
from pyvorn import records
from pyvorn.enums import OrderStatusType as S

from support_orders import kinds

CID = "c-1"


@pytest.fixture
def order(orders, env):
    o = Order("000001.SZ", 1000, SIDE.BUY, price=10.5)
    orders[CID] = o
    return o


def report(status, **kw):
    fields = dict(client_order_id=CID, security_id="000001", order_price=10.5, order_status=status,
                  order_qty=1000)
    fields.update(kw)
    return records.OrderReport(**fields)


def test_log_line_and_unknown_order(bridge, events, logs, orders, env):
    r = report(S.Sended, client_order_id="nobody", trade_qty=3, total_trade_value=30.0,
               error_msg="m", last_match_qty=2, counter_order_id=5)
    bridge.on_order(r)
    assert logs.at("info") == [
        "on_order:nobody, symbol: 000001, price:10.5, status:OrderStatusType.Sended, order_qty:1000, "
        "trade_qty:3, total_trade_value: 30.0, error_msg:m, last_match_qty: 2"]
    assert events == []


@pytest.mark.parametrize("status", [S.UnSend, S.Sended])
def test_creation_confirmed_once_by_positive_counter_id(bridge, events, logs, order, status):
    bridge.on_order(report(status, counter_order_id=0, frozen_trade_value=100.0))
    assert order.secondary_order_id == 0 and order.frozen_cash == 100.0
    assert order.status is ORDER_STATUS.PENDING_NEW
    assert events == []

    bridge.on_order(report(status, counter_order_id=77, frozen_trade_value=200.0))
    assert order.secondary_order_id == 77 and order.frozen_cash == 200.0
    assert order.status is ORDER_STATUS.ACTIVE
    assert kinds(events) == ["ORDER_CREATION_PASS"]
    assert events[0].order.status is ORDER_STATUS.ACTIVE
    assert events[0].account is env_account(order)

    bridge.on_order(report(status, counter_order_id=78, frozen_trade_value=300.0))
    assert order.secondary_order_id == 78 and order.frozen_cash == 300.0
    assert kinds(events) == ["ORDER_CREATION_PASS"]


def env_account(order):
    from corvane.tessara.environment import Environment
    return Environment.get_instance().get_account(order.market_code)


def test_worked_partial_fill(bridge, events, logs, order):
    bridge.on_order(report(S.PartiallyFilled, last_match_qty=300, last_match_price=9.9, trade_qty=500,
                           total_trade_value=5000.0, order_qty=1000))
    assert (order.avg_price, order.filled_quantity, order.unfilled_quantity) == (10, 500, 500)
    assert order.status is ORDER_STATUS.PARTIALLY_FILLED
    (ev,) = events
    assert ev.event_type is EVENT.TRADE
    assert list(ev.fields()) == ["account", "trade", "order"]
    t = ev.trade
    assert (t.order_id, t.price, t.amount, t.side, t.market_code, t.frozen_price) == (
        order.order_id, 9.9, 300, SIDE.BUY, "000001.SZ", 10.5)
    assert t.position_effect is order.position_effect
    assert ev.order is not order and ev.order == order


def test_filled_sets_filled(bridge, events, logs, order):
    bridge.on_order(report(S.Filled, last_match_qty=1000, last_match_price=10.0, trade_qty=1000,
                           total_trade_value=10000.0))
    assert order.status is ORDER_STATUS.FILLED and order.unfilled_quantity == 0
    assert kinds(events) == ["TRADE"]


@pytest.mark.parametrize("status", [S.PartiallyFilled, S.Filled])
def test_fill_report_without_fill_changes_nothing(bridge, events, logs, order, status):
    before = copy.deepcopy(order)
    bridge.on_order(report(status, last_match_qty=0, trade_qty=200, total_trade_value=2000.0))
    assert order == before
    assert events == []


@pytest.mark.parametrize("status", [S.Cancelled, S.PartiallyFilledPartiallyCancelled])
@pytest.mark.parametrize("fill", [0, 100])
def test_cancelling_reports(bridge, events, logs, order, status, fill):
    order.status = ORDER_STATUS.ACTIVE
    bridge.on_order(report(status, last_match_qty=fill, last_match_price=10.0, trade_qty=fill,
                           total_trade_value=10.0 * fill))
    assert order.status is ORDER_STATUS.CANCELLED
    if fill:
        assert kinds(events) == ["TRADE", "ORDER_CANCELLATION_PASS"]
        assert events[0].order.status is ORDER_STATUS.ACTIVE
        assert events[0].order.filled_quantity == fill
    else:
        assert kinds(events) == ["ORDER_CANCELLATION_PASS"]
    assert events[-1].order.status is ORDER_STATUS.CANCELLED


@pytest.mark.parametrize("status", [S.WaitCancelled, S.PartiallyFilledWaitCancelled])
@pytest.mark.parametrize("fill,filled_before,expected", [
    (0, 0, ORDER_STATUS.ACTIVE),
    (0, 200, ORDER_STATUS.PARTIALLY_FILLED),
    (100, 0, ORDER_STATUS.PARTIALLY_FILLED),
])
def test_pending_cancel(bridge, events, logs, order, status, fill, filled_before, expected):
    order.status = ORDER_STATUS.ACTIVE
    order.filled_quantity = filled_before
    total = filled_before + fill
    bridge.on_order(report(status, last_match_qty=fill, last_match_price=10.0, trade_qty=total,
                           total_trade_value=10.0 * total))
    assert order.status is expected
    assert kinds(events) == (["TRADE"] if fill else []) + ["ORDER_PENDING_CANCEL"]
    if fill:
        assert events[0].order.status is ORDER_STATUS.ACTIVE
    assert events[-1].order.status is expected


@pytest.mark.parametrize("msg,reason", [("no money", "20_no money"), (None, "20_None"), (3.5, "20_3.5")])
def test_reject(bridge, events, logs, order, msg, reason):
    seen = []
    order.mark_rejected = lambda r: (seen.append(("reject", r, order.frozen_cash)),
                                     Order.mark_rejected(order, r))
    bridge.on_order(report(S.Reject, error_code=20, error_msg=msg, frozen_trade_value=0.0))
    assert seen == [("reject", reason, 0.0)]
    assert order.status is ORDER_STATUS.REJECTED and order.message == reason
    assert kinds(events) == ["ORDER_UNSOLICITED_UPDATE"]
    assert events[0].order.status is ORDER_STATUS.REJECTED


def test_reject_sets_frozen_cash_after_marking(bridge, events, logs, order):
    order.frozen_cash = 500.0
    calls = []
    order.mark_rejected = lambda r: calls.append(("mark", order.frozen_cash))
    order.set_frozen_cash = lambda v: calls.append(("cash", v))
    bridge.on_order(report(S.Reject, error_code=1, error_msg="x", frozen_trade_value=0.0))
    assert calls == [("mark", 500.0), ("cash", 0.0)]


def test_unknown_status_changes_nothing_but_looks_up_account(bridge, events, logs, order, monkeypatch):
    looked_up = []
    env_cls = lf.Environment
    real = env_cls.get_instance()
    monkeypatch.setattr(real, "get_account", lambda code: looked_up.append(code) or "acct")
    bridge.on_order(report("SomethingNew"))
    assert looked_up == ["000001.SZ"]
    assert events == []
    assert order.status is ORDER_STATUS.PENDING_NEW


def test_late_partial_fill_after_filled_is_applied(bridge, events, logs, order):
    order.status = ORDER_STATUS.FILLED
    bridge.on_order(report(S.PartiallyFilled, last_match_qty=10, last_match_price=10.0, trade_qty=10,
                           total_trade_value=100.0))
    assert order.status is ORDER_STATUS.PARTIALLY_FILLED


def test_event_copy_is_independent_of_later_changes(bridge, events, logs, order):
    bridge.on_order(report(S.PartiallyFilled, last_match_qty=300, last_match_price=9.9, trade_qty=300,
                           total_trade_value=2970.0))
    snapshot = events[0].order
    bridge.on_order(report(S.Filled, last_match_qty=700, last_match_price=10.0, trade_qty=1000,
                           total_trade_value=9970.0))
    assert snapshot.status is ORDER_STATUS.PARTIALLY_FILLED and snapshot.filled_quantity == 300
    assert events[1].order.status is ORDER_STATUS.FILLED and order.filled_quantity == 1000


def test_equal_but_distinct_status_values_match(bridge, events, logs, order):
    class Equal:
        def __eq__(self, other):
            return other is S.Filled
        __hash__ = None
    bridge.on_order(report(Equal(), last_match_qty=5, last_match_price=1.0, trade_qty=5,
                           total_trade_value=5.0))
    assert order.status is ORDER_STATUS.FILLED


def test_zero_trade_qty_with_fill_fails_after_trade_built(bridge, events, logs, order):
    with pytest.raises(ZeroDivisionError):
        bridge.on_order(report(S.PartiallyFilled, last_match_qty=5, last_match_price=1.0, trade_qty=0,
                               total_trade_value=5.0))
    assert events == []
    assert order.status is ORDER_STATUS.PENDING_NEW


@pytest.mark.parametrize("bad", [None, SimpleNamespace(client_order_id=CID)])
def test_malformed_report_raises_host_error(bridge, events, logs, order, bad):
    with pytest.raises(AttributeError):
        bridge.on_order(bad)
    assert events == []


def test_replaced_deepcopy_takes_effect(bridge, events, logs, order, monkeypatch):
    copies = []
    monkeypatch.setattr(lf, "copy", SimpleNamespace(deepcopy=lambda o: copies.append(o) or "copy"))
    bridge.on_order(report(S.Sended, counter_order_id=1))
    assert copies == [order] and events[0].order == "copy"


def test_cancel_error(bridge, events, logs, order):
    before = copy.deepcopy(order)
    bridge.on_order_action_error(records.OrderActionError(client_order_id="unknown"))
    assert events == []
    bridge.on_order_action_error(records.OrderActionError(client_order_id=CID))
    assert order == before
    (ev,) = events
    assert ev.event_type is EVENT.ORDER_CANCELLATION_REJECT
    assert list(ev.fields()) == ["account", "order"]
    assert ev.order == order and ev.order is not order
    assert logs.lines == []


def test_trade_reports_are_ignored(bridge, events, logs, order):
    assert bridge.on_trade(records.TradeReport(client_order_id=CID, last_match_qty=5)) is None
    assert bridge.on_trade(None) is None
    assert events == [] and logs.lines == []


def test_trade_fields_are_read_in_listed_order(bridge, events, logs, orders, env):
    # A framework order lacking every trade field fails on the first keyword, order_id.
    orders[CID] = SimpleNamespace(market_code="000001.SZ")
    with pytest.raises(AttributeError, match="order_id"):
        bridge.on_order(report(S.PartiallyFilled, last_match_qty=5, trade_qty=5, total_trade_value=5.0))
    assert events == []
