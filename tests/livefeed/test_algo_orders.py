"""Algorithmic order replies and parent/child reports of the live bridge."""
import sys
import types
from enum import Enum
from types import SimpleNamespace

import pytest

import corvane.tessara.utils.livefeed as lf
from corvane.tessara.core.events import EVENT
from corvane.tessara.model.algo_child_order import AlgoChildOrder
from corvane.tessara.model.algo_parent_order import AlgoParentOrder
from pyvorn import records
from pyvorn.enums import AlgoControlType

from support_orders import kinds


def test_algo_login_reply(bridge, events):
    bridge.on_algo_login(records.AlgoLoginRes(client_seq_id=3, trader_id="T9", error_code=1, error_msg="no"))
    (ev,) = events
    assert ev.event_type is EVENT.ALGO_LOGIN
    assert ev.fields() == {"req_id": 3, "algo_account": "T9", "code": 1, "msg": "no"}
    assert list(ev.fields()) == ["req_id", "algo_account", "code", "msg"]


@pytest.mark.parametrize("parent_id,recorded", [(0, False), (None, False), (-4, False), (55, True)])
def test_creation_reply_records_only_positive_ids(bridge, events, algo_state, parent_id, recorded):
    bridge.on_create_algo_parent_order_res(
        records.CreateParentOrderRes(client_seq_id=1, sys_quote_id=parent_id, error_code=7, error_msg="e"))
    (ev,) = events
    assert ev.event_type is EVENT.PARENT_ORDER_CREATE
    assert ev.fields() == {"req_id": 1, "parent_order_id": parent_id, "code": 7, "msg": "e"}
    assert algo_state["algo_parent_id"] == ([parent_id] if recorded else [])


def test_creation_event_queued_before_failing_id_test(bridge, events, algo_state):
    with pytest.raises(TypeError):
        bridge.on_create_algo_parent_order_res(records.CreateParentOrderRes(sys_quote_id="abc"))
    assert kinds(events) == ["PARENT_ORDER_CREATE"]
    assert algo_state["algo_parent_id"] == []


def test_cancel_reply(bridge, events):
    bridge.on_cancel_algo_parent_order_res(records.CancelParentOrderRes(sys_quote_id=5, error_code=0,
                                                                        error_msg="ok"))
    (ev,) = events
    assert ev.event_type is EVENT.PARENT_ORDER_CANCEL
    assert ev.fields() == {"parent_order_id": 5, "code": 0, "msg": "ok"}


@pytest.mark.parametrize("reply,expected", [
    (records.ControlParentOrderRes(sys_quote_id=5, control_type=AlgoControlType.Pause), ["PARENT_ORDER_PAUSE"]),
    (records.ControlParentOrderRes(sys_quote_id=5, control_type=AlgoControlType.Resume), ["PARENT_ORDER_RESUME"]),
    (records.ControlParentOrderRes(sys_quote_id=5, control_type=3), []),
    # A record naming the type algo_control_type is read the same way.
    (SimpleNamespace(sys_quote_id=5, algo_control_type=AlgoControlType.Pause, error_code=0, error_msg=""),
     ["PARENT_ORDER_PAUSE"]),
    (SimpleNamespace(sys_quote_id=5, algo_control_type=AlgoControlType.Resume, error_code=0, error_msg=""),
     ["PARENT_ORDER_RESUME"]),
])
def test_control_reply(bridge, events, reply, expected):
    bridge.on_control_algo_parent_order_res(reply)
    assert kinds(events) == expected
    if expected:
        assert events[0].fields() == {"parent_order_id": 5, "code": 0, "msg": ""}


def test_control_reply_prefers_control_type(bridge, events):
    reply = SimpleNamespace(sys_quote_id=5, control_type=AlgoControlType.Resume,
                            algo_control_type=AlgoControlType.Pause, error_code=0, error_msg="")
    bridge.on_control_algo_parent_order_res(reply)
    assert kinds(events) == ["PARENT_ORDER_RESUME"]


def test_control_reply_without_control_type_fails(bridge, events):
    with pytest.raises(AttributeError):
        bridge.on_control_algo_parent_order_res(SimpleNamespace(sys_quote_id=5, error_code=0, error_msg=""))
    assert events == []


def test_control_enum_is_imported_at_each_reply(bridge, events, monkeypatch):
    class Other(Enum):
        Pause = "p"
        Resume = "r"
    fake = types.ModuleType("pyvorn.enums")
    fake.AlgoControlType = Other
    monkeypatch.setitem(sys.modules, "pyvorn.enums", fake)
    bridge.on_control_algo_parent_order_res(
        SimpleNamespace(sys_quote_id=1, control_type="r", error_code=0, error_msg=""))
    bridge.on_control_algo_parent_order_res(
        records.ControlParentOrderRes(sys_quote_id=1, control_type=AlgoControlType.Pause))
    # Neither a bare value nor the original module's member matches the replaced enum's members.
    assert kinds(events) == []
    bridge.on_control_algo_parent_order_res(
        SimpleNamespace(sys_quote_id=1, control_type=Other.Resume, error_code=0, error_msg=""))
    assert kinds(events) == ["PARENT_ORDER_RESUME"]


def create(bridge, parent_id):
    bridge.on_create_algo_parent_order_res(records.CreateParentOrderRes(sys_quote_id=parent_id))


def test_parent_updates_chain_previous_object(bridge, events, algo_state, monkeypatch):
    create(bridge, 9)
    calls = []
    real = AlgoParentOrder.from_vorn.__func__

    def spy(cls, record, previous):
        calls.append(previous)
        return real(cls, record, previous)
    monkeypatch.setattr(AlgoParentOrder, "from_vorn", classmethod(spy))
    events.clear()

    bridge.on_algo_parent_order_update(records.ParentOrder(sys_quote_id=9, order_qty=100, trade_qty=10))
    first = algo_state["algo_parent_orders"][9]
    bridge.on_algo_parent_order_update(records.ParentOrder(sys_quote_id=9, order_qty=100, trade_qty=40))
    second = algo_state["algo_parent_orders"][9]
    assert calls == [None, first]
    assert second.update_count == 2 and second.filled_quantity == 40
    assert kinds(events) == ["PARENT_ORDER_UPDATE", "PARENT_ORDER_UPDATE"]
    assert [list(e.fields()) for e in events] == [["algo_parent_order"]] * 2
    # The events carry copies; the map keeps the object itself.
    assert events[0].algo_parent_order is not first and events[0].algo_parent_order == first
    first.filled_quantity = 999
    assert events[0].algo_parent_order.filled_quantity == 10


def test_child_orders_one_entry_per_parent(bridge, events, algo_state):
    create(bridge, 9)
    events.clear()
    bridge.on_algo_child_order_update(records.ChildOrder(sys_quote_id=9, client_order_id="a", order_qty=10))
    bridge.on_algo_child_order_update(records.ChildOrder(sys_quote_id=9, client_order_id="b"))
    stored = algo_state["algo_child_orders"]
    assert list(stored) == [9]
    assert stored[9].order_id == "b"
    # The second child merged with the first one's object: fields it leaves None come from it.
    assert stored[9].quantity == 0 and stored[9].update_count == 2
    assert kinds(events) == ["CHILD_ORDER_UPDATE"] * 2
    assert isinstance(events[1].algo_child_order, AlgoChildOrder)


def test_child_trades_of_known_parent(bridge, events, algo_state):
    create(bridge, 9)
    events.clear()
    bridge.on_algo_child_order_trade(records.ChildTrade(sys_quote_id=9, trade_qty=5, trade_price=1.5))
    assert kinds(events) == ["CHILD_ORDER_TRADE"]
    assert list(events[0].fields()) == ["algo_child_trade"]
    assert algo_state["algo_child_trades"][9].update_count == 1


@pytest.mark.parametrize("method,record", [
    ("on_algo_parent_order_update", records.ParentOrder),
    ("on_algo_child_order_update", records.ChildOrder),
    ("on_algo_child_order_trade", records.ChildTrade),
])
@pytest.mark.parametrize("created", [None, 0])
def test_reports_of_unknown_parents_are_dropped(bridge, events, algo_state, method, record, created):
    if created is not None:
        create(bridge, created)
        events.clear()
    getattr(bridge, method)(record(sys_quote_id=0))
    getattr(bridge, method)(record(sys_quote_id=12))
    assert events == []
    assert not any(algo_state[m] for m in ("algo_parent_orders", "algo_child_orders", "algo_child_trades"))


def test_duplicate_creation_ids_process_reports_once(bridge, events, algo_state):
    create(bridge, 4)
    create(bridge, 4)
    assert algo_state["algo_parent_id"] == [4, 4]
    events.clear()
    bridge.on_algo_parent_order_update(records.ParentOrder(sys_quote_id=4))
    assert kinds(events) == ["PARENT_ORDER_UPDATE"]
    assert algo_state["algo_parent_orders"][4].update_count == 1


def test_failing_converter_leaves_map_and_queue_alone(bridge, events, algo_state):
    create(bridge, 9)
    events.clear()
    algo_state["algo_parent_orders"][9] = "not a parent order"
    with pytest.raises(TypeError):
        bridge.on_algo_parent_order_update(records.ParentOrder(sys_quote_id=9))
    assert algo_state["algo_parent_orders"][9] == "not a parent order"
    assert events == []


def test_replaced_converter_class_takes_effect(bridge, events, algo_state, monkeypatch):
    create(bridge, 9)
    events.clear()
    monkeypatch.setattr(lf, "AlgoChildTrade", SimpleNamespace(from_vorn=lambda rec, prev: ["made", prev]))
    bridge.on_algo_child_order_trade(records.ChildTrade(sys_quote_id=9))
    bridge.on_algo_child_order_trade(records.ChildTrade(sys_quote_id=9))
    assert algo_state["algo_child_trades"][9] == ["made", ["made", None]]
    assert events[1].algo_child_trade == ["made", ["made", None]]


@pytest.mark.parametrize("method,record,missing", [
    # The reply's fields are read in the order the event lists them.
    ("on_algo_login", SimpleNamespace(), "client_seq_id"),
    ("on_create_algo_parent_order_res", SimpleNamespace(), "client_seq_id"),
    ("on_cancel_algo_parent_order_res", SimpleNamespace(), "sys_quote_id"),
    ("on_control_algo_parent_order_res", SimpleNamespace(control_type=AlgoControlType.Pause), "sys_quote_id"),
])
def test_reply_fields_are_read_in_listed_order(bridge, events, algo_state, method, record, missing):
    with pytest.raises(AttributeError, match=missing):
        getattr(bridge, method)(record)
    assert events == []


def test_control_enum_missing_from_module_is_an_import_error(bridge, events, monkeypatch):
    monkeypatch.setitem(sys.modules, "pyvorn.enums", types.ModuleType("pyvorn.enums"))
    with pytest.raises(ImportError, match="AlgoControlType"):
        bridge.on_control_algo_parent_order_res(records.ControlParentOrderRes(sys_quote_id=1))
    assert events == []
