"""Login, asset and position query results of the live bridge."""
from types import SimpleNamespace

import pytest

import corvane.tessara.utils.livefeed as lf
from corvane.tessara.const import POSITION_DIRECTION
from corvane.tessara.core.events import EVENT
from corvane.tessara.portfolio.account import Asset
from pyvorn import records
from pyvorn.enums import MarketType

from support_orders import kinds


@pytest.mark.parametrize("code,msg", [(0, "ok"), (-7, "bad password")])
def test_login_is_forwarded_whatever_the_code(bridge, events, logs, code, msg):
    res = records.LoginRes(client_seq_id=11, fund_account_id="F01", error_code=code, error_msg=msg)
    assert bridge.on_login(res) is None
    assert logs.at("info") == ["on_login fund_account_id:F01, error_code:%s" % code]
    (ev,) = events
    assert ev.event_type is EVENT.LOGIN
    assert ev.fields() == {"rid": 11, "account_id": "F01", "code": code, "msg": msg}
    assert list(ev.fields()) == ["rid", "account_id", "code", "msg"]


def asset_res():
    return records.QueryAssetRes(fund_account_id="F01", available_t1=1.0, frozen_all=2.0,
                                 market_value=3.0, total_asset=4.0, leaves_value=5.0,
                                 init_leaves_value=6.0)


def test_asset_query_success_builds_asset_in_order(bridge, events, logs):
    bridge.on_query_asset(asset_res(), 42, 0, "fine")
    assert logs.at("info") == ["on_query_asset, F01, leaves_value:5.0 code 0  ms fine"]
    (ev,) = events
    assert ev.event_type is EVENT.QUERY_ACCOUNT
    assert list(ev.fields()) == ["rid", "account_id", "asset"]
    assert ev.rid == 42 and ev.account_id == "F01"
    assert ev.asset == Asset("F01", 1.0, 2.0, 3.0, 4.0, 5.0, 6.0)


def test_asset_query_failure_forwards_code_and_msg(bridge, events, logs):
    bridge.on_query_asset(asset_res=asset_res(), request_id=43, code=9, msg="busy")
    (ev,) = events
    assert ev.event_type is EVENT.QUERY_ACCOUNT
    assert ev.fields() == {"rid": 43, "account_id": "F01", "code": 9, "msg": "busy"}


def test_asset_query_failure_still_reads_logged_fields(bridge, events, logs):
    with pytest.raises(AttributeError):
        bridge.on_query_asset(SimpleNamespace(fund_account_id="F01"), 1, 5, "x")
    assert events == []


def pos(security_id="000001", market_id=MarketType.SZSE, **kw):
    return records.QueryPositionRes(security_id=security_id, market_id=market_id, init_qty=100,
                                    leaves_qty=80, available_qty=70, cost_price=9.5,
                                    last_price=10.0, market_value=800.0, profit_loss=4.0, **kw)


def test_position_query_builds_long_positions(bridge, events, logs):
    bridge.on_query_position([pos(), pos("600000", MarketType.SSE)], 7, 0, "")
    assert logs.at("info") == ["on_query_position: code:0, msg:"]
    (ev,) = events
    assert ev.event_type is EVENT.QUERY_POSITION
    assert list(ev.fields()) == ["rid", "positions"]
    assert ev.rid == 7
    first, second = ev.positions
    assert (first.market_code, second.market_code) == ("000001.SZ", "600000.SH")
    assert first.direction is POSITION_DIRECTION.LONG
    assert first.init_quantity == 100
    assert first.get_state() == {"quantity": 80, "available_qty": 70, "avg_price": 9.5,
                                 "last_price": 10.0, "market_value": 800.0, "daily_pnl": 4.0}


def test_position_query_failure_is_reported_as_account_query(bridge, events, logs):
    bridge.on_query_position([pos()], 8, 3, "denied")
    (ev,) = events
    assert ev.event_type is EVENT.QUERY_ACCOUNT
    assert ev.fields() == {"rid": 8, "code": 3, "msg": "denied"}


class ListSubclass(list):
    pass


@pytest.mark.parametrize("result", [[], (pos(),), ListSubclass([pos()]), None, "text"])
def test_position_query_without_a_list_queues_nothing(bridge, events, logs, result):
    bridge.on_query_position(result, 9, 0, "")
    assert events == []


def test_failing_position_is_skipped_with_a_warning(bridge, events, logs):
    bad = SimpleNamespace(security_id="000002", market_id=MarketType.SZSE)  # no init_qty
    bridge.on_query_position([pos("000001"), bad, pos("000003")], 10, 0, "")
    assert logs.at("warning") == [
        "on_query_position position do not add: 000002  exception: "
        "'types.SimpleNamespace' object has no attribute 'init_qty'"]
    (ev,) = events
    assert [p.market_code for p in ev.positions] == ["000001.SZ", "000003.SZ"]


def test_all_positions_failing_gives_an_empty_answer(bridge, events, logs):
    bridge.on_query_position([pos(market_id="nowhere")], 11, 0, "")
    assert len(logs.at("warning")) == 1
    (ev,) = events
    assert ev.positions == []


def test_non_ordinary_errors_are_not_swallowed(bridge, events, logs, monkeypatch):
    def interrupt(market_id):
        raise KeyboardInterrupt
    monkeypatch.setattr(lf, "get_exchane_from_vorn_mdtype", interrupt)
    with pytest.raises(KeyboardInterrupt):
        bridge.on_query_position([pos()], 12, 0, "")
    assert events == []


def test_replaced_position_class_takes_effect(bridge, events, logs, monkeypatch):
    made = []

    class Recording(lf.Position):
        def __init__(self, *args):
            made.append(args)
            super().__init__(*args)
    monkeypatch.setattr(lf, "Position", Recording)
    bridge.on_query_position([pos()], 13, 0, "")
    assert made == [("000001.SZ", POSITION_DIRECTION.LONG, 100)]
    assert kinds(events) == ["QUERY_POSITION"]


@pytest.mark.parametrize("call,missing", [
    # The event's fields are read in the order it lists them, so a record lacking several of them
    # fails on the first.
    (lambda b: b.on_login(SimpleNamespace(fund_account_id="F01", error_code=0)), "client_seq_id"),
    (lambda b: b.on_query_asset(SimpleNamespace(fund_account_id="F01", leaves_value=5.0), 1, 0, ""),
     "available_t1"),
])
def test_record_fields_are_read_in_listed_order(bridge, events, logs, call, missing):
    with pytest.raises(AttributeError, match=missing):
        call(bridge)
    assert events == []


def test_market_code_starts_from_security_id(bridge, events, logs, monkeypatch):
    # security_id + "." is evaluated before the exchange is looked up.
    looked_up = []
    monkeypatch.setattr(lf, "get_exchane_from_vorn_mdtype", lambda m: looked_up.append(m) or "SZ")
    bridge.on_query_position([pos(security_id=None), pos()], 14, 0, "")
    assert looked_up == [MarketType.SZSE]
    (warning,) = logs.at("warning")
    assert warning.startswith("on_query_position position do not add: None  exception: unsupported operand")
    assert [p.market_code for p in events[0].positions] == ["000001.SZ"]
