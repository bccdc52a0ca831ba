"""Level-2 intake: L2Order / L2Transaction construction, code conversions,
the side rule, the two events."""
import datetime as dt
from types import SimpleNamespace

import pytest

import corvane.tessara.utils.livefeed as lf
from corvane.tessara.const import L2_ORDER_TYPE, L2_TRADE_TYPE, ORDER_TYPE, SIDE
from corvane.tessara.core.events import EVENT
from corvane.tessara.model.l2_order import L2Order
from corvane.tessara.model.l2_transaction import L2Transaction
from pyvorn import records
from pyvorn.enums import MarketType

from support_live import LoggedRecord, queued_events

WHEN = dt.datetime(2026, 12, 8, 9, 30, 1, 500000)
STAMP = 20261208093001500


def tick_order(**kw):
    fields = dict(security_id="000001", market_type=MarketType.SZSE, order_time=STAMP,
                  biz_index=11, orig_order_no=77, side=ord("1"), order_type=ord("2"),
                  order_price=10.5, order_volume=300)
    fields.update(kw)
    return records.TickOrder(**fields)


def tick_trade(**kw):
    fields = dict(security_id="600000", market_type=MarketType.SSE, trade_time=STAMP,
                  biz_index=12, bid_appl_seq_num=101, offer_appl_seq_num=100, trade_price=8.25,
                  trade_volume=200, value_trade=1650.0, trade_type=ord("F"))
    fields.update(kw)
    return records.TickTrade(**fields)


def test_tick_order_event(live_bridge):
    assert live_bridge.on_tick_order(tick_order()) is None
    (event,) = queued_events()
    assert event.event_type is EVENT.L2_ORDER
    assert list(event.fields()) == ["calendar_dt", "trading_dt", "l2_order"]
    assert event.calendar_dt == WHEN and event.calendar_dt is event.trading_dt
    order = event.l2_order
    assert isinstance(order, L2Order)
    assert order._values() == (11, "000001.SZ", WHEN, SIDE.BUY, 10.5, 300, ORDER_TYPE.LIMIT, 77,
                               L2_ORDER_TYPE.ADD)
    assert order.datetime is event.calendar_dt


def test_tick_trade_event(live_bridge):
    live_bridge.on_tick_trade(tick_trade())
    (event,) = queued_events()
    assert event.event_type is EVENT.L2_TRANSACTION
    assert list(event.fields()) == ["calendar_dt", "trading_dt", "l2_transaction"]
    assert event.calendar_dt == WHEN and event.calendar_dt is event.trading_dt
    trade = event.l2_transaction
    assert isinstance(trade, L2Transaction)
    assert trade._values() == (12, "600000.SH", WHEN, SIDE.BUY, 8.25, 200, 1650.0,
                               L2_TRADE_TYPE.FILL, 101, 100)


@pytest.mark.parametrize("bid, offer, side", [
    (101, 100, SIDE.BUY), (100, 101, SIDE.SELL), (100, 100, SIDE.SELL), (0, 0, SIDE.SELL),
    (2, 1.5, SIDE.BUY),
])
def test_side_rule(live_bridge, bid, offer, side):
    live_bridge.on_tick_trade(tick_trade(bid_appl_seq_num=bid, offer_appl_seq_num=offer))
    assert queued_events()[0].l2_transaction.side is side


@pytest.fixture
def conversions(monkeypatch):
    """Records the arguments of the five code conversions."""
    calls = []

    def recorder(name):
        def convert(*args):
            calls.append((name, args))
            return name
        return convert

    for name in ("get_exchane_from_vorn_mdtype", "get_side_from_vorn_l2_order",
                 "get_order_type_from_vorn_l2_order", "get_l2order_type_from_vorn",
                 "get_trade_type_from_vorn"):
        monkeypatch.setattr(lf, name, recorder(name))
    return calls


def test_order_codes_reach_the_utilities_as_characters(live_bridge, conversions):
    market = object()
    live_bridge.on_tick_order(tick_order(market_type=market, side=49, order_type=ord("U")))
    assert conversions == [
        ("get_exchane_from_vorn_mdtype", (market,)),
        ("get_side_from_vorn_l2_order", ("1", market)),
        ("get_order_type_from_vorn_l2_order", ("U", market)),
        ("get_l2order_type_from_vorn", ("U", market)),
    ]
    order = queued_events()[0].l2_order
    assert order.market_code == "000001.get_exchane_from_vorn_mdtype"
    assert (order.side, order.order_type, order.l2_order_type) == (
        "get_side_from_vorn_l2_order", "get_order_type_from_vorn_l2_order",
        "get_l2order_type_from_vorn")


def test_trade_type_conversion_gets_only_the_character(live_bridge, conversions):
    live_bridge.on_tick_trade(tick_trade(trade_type=52))
    assert conversions == [("get_exchane_from_vorn_mdtype", (MarketType.SSE,)),
                           ("get_trade_type_from_vorn", ("4",))]


@pytest.mark.parametrize("code, text", [(0x4E2D, "\u4e2d"), (0x10FFFF, "\U0010ffff"), (True, "\x01")])
def test_any_character_code_converts(live_bridge, conversions, code, text):
    live_bridge.on_tick_order(tick_order(side=code))
    assert conversions[1] == ("get_side_from_vorn_l2_order", (text, MarketType.SZSE))


def _chr_error(code):
    """The error the host's chr raises for `code` (OverflowError before 3.13, ValueError since)."""
    try:
        chr(code)
    except Exception as e:
        return type(e)
    raise AssertionError("chr accepted %r" % (code,))


@pytest.mark.parametrize("field", ["side", "order_type"])
@pytest.mark.parametrize("code, error", [
    (-1, ValueError), (0x110000, ValueError), (2 ** 70, _chr_error(2 ** 70)), ("1", TypeError),
    (49.0, TypeError), (None, TypeError),
])
def test_bad_order_codes_queue_nothing(live_bridge, field, code, error):
    with pytest.raises(error):
        live_bridge.on_tick_order(tick_order(**{field: code}))
    assert queued_events() == []


@pytest.mark.parametrize("code, error", [(-1, ValueError), ("F", TypeError)])
def test_bad_trade_type_queues_nothing(live_bridge, code, error):
    with pytest.raises(error):
        live_bridge.on_tick_trade(tick_trade(trade_type=code))
    assert queued_events() == []


@pytest.mark.parametrize("record, unknown", [
    (tick_order(side=ord("S")), "side"),           # an SSE letter on an SZSE record
    (tick_order(order_type=ord("Z")), "order type"),
    (tick_trade(trade_type=ord("X")), "trade type"),
])
def test_rejected_codes_propagate(live_bridge, record, unknown):
    handler = live_bridge.on_tick_order if hasattr(record, "order_time") else live_bridge.on_tick_trade
    with pytest.raises(ValueError, match=unknown):
        handler(record)
    assert queued_events() == []


@pytest.mark.parametrize("make, handler, missing", [
    (tick_order, "on_tick_order", "order_time"), (tick_order, "on_tick_order", "orig_order_no"),
    (tick_order, "on_tick_order", "side"), (tick_trade, "on_tick_trade", "value_trade"),
    (tick_trade, "on_tick_trade", "offer_appl_seq_num"), (tick_trade, "on_tick_trade", "trade_time"),
])
def test_missing_attribute_queues_nothing(live_bridge, make, handler, missing):
    fields = vars(make()).copy()
    del fields[missing]
    with pytest.raises(AttributeError, match=missing):
        getattr(live_bridge, handler)(SimpleNamespace(**fields))
    assert queued_events() == []


def test_level2_leaves_no_history(live_bridge):
    live_bridge.on_tick_order(tick_order())
    live_bridge.on_tick_trade(tick_trade())
    assert lf.history_tick == {} and lf.history_bar == {}
    assert [e.event_type for e in queued_events()] == [EVENT.L2_ORDER, EVENT.L2_TRANSACTION]


def test_keyword_arguments(live_bridge):
    live_bridge.on_tick_order(tick_order=tick_order())
    live_bridge.on_tick_trade(tick_trade=tick_trade())
    assert len(queued_events()) == 2


def test_fields_are_read_in_argument_order(live_bridge):
    order = LoggedRecord(**vars(tick_order()))
    live_bridge.on_tick_order(order)
    assert order.reads == ["order_time", "security_id", "market_type", "side", "biz_index",
                           "order_price", "order_volume", "order_type", "orig_order_no"]
    trade = LoggedRecord(**vars(tick_trade()))
    live_bridge.on_tick_trade(trade)
    assert trade.reads == ["trade_time", "security_id", "market_type", "bid_appl_seq_num",
                           "offer_appl_seq_num", "biz_index", "trade_price", "trade_volume",
                           "value_trade", "trade_type"]


@pytest.mark.parametrize("make, handler, name, missing", [
    # the conversion is looked up before its field is read
    (tick_order, "on_tick_order", "convert_int_to_datetime", "order_time"),
    (tick_trade, "on_tick_trade", "convert_int_to_datetime", "trade_time"),
    (tick_order, "on_tick_order", "get_side_from_vorn_l2_order", "side"),
    (tick_trade, "on_tick_trade", "get_trade_type_from_vorn", "trade_type"),
    # the class is looked up before its first argument is read
    (tick_order, "on_tick_order", "L2Order", "biz_index"),
    (tick_trade, "on_tick_trade", "L2Transaction", "biz_index"),
])
def test_module_name_is_read_before_the_field_it_is_called_with(live_bridge, monkeypatch, make,
                                                                handler, name, missing):
    fields = vars(make()).copy()
    del fields[missing]
    monkeypatch.delattr(lf, name)
    with pytest.raises(NameError, match=name):
        getattr(live_bridge, handler)(SimpleNamespace(**fields))


@pytest.mark.parametrize("make, handler", [(tick_order, "on_tick_order"),
                                           (tick_trade, "on_tick_trade")])
def test_non_text_security_id_fails_before_the_market_type_is_read(live_bridge, conversions,
                                                                   make, handler):
    record = LoggedRecord(**dict(vars(make()), security_id=1))
    del record.fields["market_type"]
    with pytest.raises(TypeError):
        getattr(live_bridge, handler)(record)
    assert "market_type" not in record.reads and conversions == []
