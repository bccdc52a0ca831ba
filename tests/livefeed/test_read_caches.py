"""The bridge remembers how attribute reads, enum members, class methods, methods and module
names resolved; these tests change each of them between two calls and check that the next call
sees the change, whatever shape the terminal's records take."""
from types import SimpleNamespace

import pytest

import corvane.tessara.utils.livefeed as lf
from corvane.tessara.core.events import EVENT
from pyvorn import records
from pyvorn.enums import MarketType

from support_live import LoggedRecord, queued_events

STAMP = 20261208093001500
FIELDS = dict(security_id="600000", market_type=MarketType.SSE, trade_time=STAMP, biz_index=12,
              bid_appl_seq_num=101, offer_appl_seq_num=100, trade_price=8.25, trade_volume=200,
              value_trade=1650.0, trade_type=ord("F"))


class Plain:
    def __init__(self, **fields):
        self.__dict__.update(fields)


class Slotted:
    __slots__ = tuple(FIELDS)

    def __init__(self, **fields):
        for k, v in fields.items():
            setattr(self, k, v)


class PriceProperty(Plain):
    reads = 0

    @property
    def trade_price(self):
        type(self).reads += 1
        return 99.5


class CustomGetattribute(Plain):
    def __getattribute__(self, name):
        value = object.__getattribute__(self, name)
        return 77.0 if name == "trade_price" else value


class SubclassWithProperty(records.TickTrade):
    @property
    def trade_price(self):
        return 55.5

    @trade_price.setter
    def trade_price(self, value):
        pass


def _price(make):
    if make is LoggedRecord:
        return FIELDS["trade_price"]
    return {PriceProperty: 99.5, CustomGetattribute: 77.0, SubclassWithProperty: 55.5}.get(make, FIELDS["trade_price"])


def _last_trade():
    return queued_events()[-1].l2_transaction


@pytest.mark.parametrize("make", [records.TickTrade, Plain, Slotted, SimpleNamespace, PriceProperty,
                                  CustomGetattribute, SubclassWithProperty, LoggedRecord])
def test_every_record_shape_is_read_as_python_reads_it(live_bridge, make):
    # Warm the caches with another shape first, then alternate.
    for record in (records.TickTrade(**FIELDS), make(**FIELDS), records.TickTrade(**FIELDS), make(**FIELDS)):
        live_bridge.on_tick_trade(record)
        assert _last_trade().price == _price(type(record))
        assert _last_trade().quantity == 200


def test_property_is_called_on_every_read(live_bridge):
    PriceProperty.reads = 0
    for _ in range(3):
        live_bridge.on_tick_trade(PriceProperty(**FIELDS))
    assert PriceProperty.reads == 3


@pytest.mark.parametrize("make", [Plain, Slotted])
def test_mutated_record_class_is_rechecked(live_bridge, make):
    cls = type("Record", (make,), {"__slots__": ()} if make is Slotted else {})
    record = cls(**FIELDS)
    live_bridge.on_tick_trade(record)
    assert _last_trade().price == 8.25
    cls.trade_price = property(lambda self: 1.25)
    live_bridge.on_tick_trade(record)
    assert _last_trade().price == 1.25
    del cls.trade_price
    live_bridge.on_tick_trade(record)
    assert _last_trade().price == 8.25
    cls.__getattr__ = lambda self, name: 3.0
    cls.__getattribute__ = lambda self, name: 2.0 if name == "trade_volume" else object.__getattribute__(self, name)
    live_bridge.on_tick_trade(record)
    assert (_last_trade().price, _last_trade().quantity) == (8.25, 2.0)


def test_record_changed_between_calls(live_bridge):
    record = Plain(**FIELDS)
    live_bridge.on_tick_trade(record)
    record.trade_price = 9.0
    live_bridge.on_tick_trade(record)
    assert _last_trade().price == 9.0
    del record.trade_price
    with pytest.raises(AttributeError, match="trade_price"):
        live_bridge.on_tick_trade(record)
    record.__class__ = PriceProperty
    live_bridge.on_tick_trade(record)
    assert _last_trade().price == 99.5


def test_class_default_behind_a_missing_instance_entry(live_bridge):
    cls = type("WithDefault", (Plain,), {"trade_price": 4.5})
    record = cls(**FIELDS)
    live_bridge.on_tick_trade(record)
    assert _last_trade().price == 8.25
    del record.trade_price
    live_bridge.on_tick_trade(record)
    assert _last_trade().price == 4.5


class Trap(Exception):
    pass


class Trapped:
    """Fails with Trap on any use: call or attribute read."""

    def __call__(self, *args, **kwargs):
        raise Trap()

    def __getattr__(self, name):
        raise Trap(name)


@pytest.mark.parametrize("name", ["convert_int_to_datetime", "get_exchane_from_vorn_mdtype", "SIDE",
                                  "L2Transaction", "get_trade_type_from_vorn", "EVENT", "Event", "event_queue"])
def test_replaced_module_name_takes_effect_on_the_next_call(live_bridge, monkeypatch, name):
    live_bridge.on_tick_trade(records.TickTrade(**FIELDS))
    monkeypatch.setattr(lf, name, Trapped())
    with pytest.raises(Trap):
        live_bridge.on_tick_trade(records.TickTrade(**FIELDS))
    monkeypatch.undo()
    live_bridge.on_tick_trade(records.TickTrade(**FIELDS))
    assert len(queued_events()) == 2


def test_deleted_module_name_is_a_name_error(live_bridge, monkeypatch):
    live_bridge.on_tick_trade(records.TickTrade(**FIELDS))
    monkeypatch.delattr(lf, "get_trade_type_from_vorn")
    with pytest.raises(NameError, match="get_trade_type_from_vorn"):
        live_bridge.on_tick_trade(records.TickTrade(**FIELDS))


def test_enum_member_and_class_method_changes_are_seen(live_bridge, monkeypatch):
    kinds = type("Kinds", (), {"L2_TRANSACTION": "first"})
    made = []

    class Maker:
        @classmethod
        def __from_create__(cls, *args):
            made.append(cls)
            return args

    monkeypatch.setattr(lf, "EVENT", kinds)
    monkeypatch.setattr(lf, "L2Transaction", Maker)
    live_bridge.on_tick_trade(records.TickTrade(**FIELDS))
    kinds.L2_TRANSACTION = "second"
    Maker.__from_create__ = classmethod(lambda cls, *args: ("again",) + args)
    live_bridge.on_tick_trade(records.TickTrade(**FIELDS))
    first, second = queued_events()
    assert (first.event_type, second.event_type) == ("first", "second")
    assert made == [Maker] and second.l2_transaction[0] == "again"
    # A subclass is a class of its own: its class method receives it.
    sub = type("Sub", (Maker,), {})
    monkeypatch.setattr(lf, "L2Transaction", sub)
    Maker.__from_create__ = classmethod(lambda cls, *args: cls)
    live_bridge.on_tick_trade(records.TickTrade(**FIELDS))
    assert queued_events()[-1].l2_transaction is sub


def test_metaclass_descriptor_wins_over_the_enum_member(live_bridge, monkeypatch):
    meta = type("Meta", (type,), {})
    kinds = meta("Kinds", (), {"L2_TRANSACTION": "member"})
    monkeypatch.setattr(lf, "EVENT", kinds)
    live_bridge.on_tick_trade(records.TickTrade(**FIELDS))
    meta.L2_TRANSACTION = property(lambda cls: "from the metaclass")
    live_bridge.on_tick_trade(records.TickTrade(**FIELDS))
    assert [e.event_type for e in queued_events()] == ["member", "from the metaclass"]


class ProxyOfProxy:
    def __init__(self, inner):
        self.inner = inner

    def instruments(self, code):
        return self.inner.instruments(code)


@pytest.mark.parametrize("proxy", ["host", "value table", "own dict"])
def test_instance_attribute_shadows_the_method(framework_env, live_bridge, proxy):
    # The method's name set on the instance: as a new entry of an instance dict, or as a new key
    # of the value table shared by the instances of a plain class.
    framework_env.data_proxy.add_instrument("000001.SZ")
    if proxy != "host":
        framework_env.data_proxy = ProxyOfProxy(framework_env.data_proxy)
        if proxy == "own dict":
            vars(framework_env.data_proxy)
    snap = records.Snapshot(security_id="000001", orig_time=STAMP)
    live_bridge.on_snapshot(snap)
    framework_env.data_proxy.instruments = lambda code: "instrument of " + code
    live_bridge.on_snapshot(snap)
    assert queued_events()[-1].tick._instrument == "instrument of 000001.SZ"
    del framework_env.data_proxy.instruments
    live_bridge.on_snapshot(snap)
    assert queued_events()[-1].tick._instrument != "instrument of 000001.SZ"


def test_event_kinds_follow_the_real_enum(live_bridge):
    live_bridge.on_tick_trade(records.TickTrade(**FIELDS))
    assert queued_events()[0].event_type is EVENT.L2_TRANSACTION


class SetInInit:
    """Attributes set one by one, as a dataclass does: the instance keeps them in its type's
    shared value table until something asks for its __dict__."""

    def __init__(self, **fields):
        for k, v in fields.items():
            setattr(self, k, v)


def _materialise(record):
    vars(record)


def _replace_dict(record):
    record.__dict__ = dict(FIELDS, trade_price=3.5)


def _grow_shared_keys(record):
    other = type(record)(**FIELDS)
    other.added_later = 1
    record.added_later = 2


@pytest.mark.parametrize("make", [records.TickTrade, SetInInit])
@pytest.mark.parametrize("change, price", [(_materialise, 8.25), (_replace_dict, 3.5), (_grow_shared_keys, 8.25)])
def test_attributes_are_read_wherever_the_instance_keeps_them(live_bridge, make, change, price):
    record = make(**FIELDS)
    live_bridge.on_tick_trade(record)
    assert _last_trade().price == 8.25
    change(record)
    live_bridge.on_tick_trade(record)
    assert _last_trade().price == price
    record.trade_price = 6.0
    live_bridge.on_tick_trade(record)
    assert _last_trade().price == 6.0
    fresh = make(**FIELDS)          # a new instance still has its own value table
    live_bridge.on_tick_trade(fresh)
    assert _last_trade().price == 8.25
    del fresh.trade_price           # the class default where there is one, else AttributeError
    if hasattr(fresh, "trade_price"):
        live_bridge.on_tick_trade(fresh)
        assert _last_trade().price == fresh.trade_price
    else:
        with pytest.raises(AttributeError, match="trade_price"):
            live_bridge.on_tick_trade(fresh)

