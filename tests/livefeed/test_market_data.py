"""Snapshot and bar intake: record layouts, histories, TICK events and the
bar-count rule."""
import datetime as dt
import gc
import sys
from types import SimpleNamespace

import pytest

import corvane.tessara.utils.livefeed as lf
from corvane.tessara.core.events import EVENT
from corvane.tessara.model.tick import TickObject
from pyvorn.enums import MarketType

from support_live import LoggedRecord, bar, make_config, queued_events, snapshot

TICK_KEYS = ["market_code", "datetime", "open_price", "close_price", "high_price", "low_price",
             "total_turnover", "volume", "prev_close", "ask_vols", "asks", "bid_vols", "bids",
             "high_limited", "last_price", "low_limited", "open_interest", "prev_settlement",
             "iopv", "trading_phase_code"]
BAR_KEYS = ["market_code", "orig_time", "open_price", "close_price", "high_price", "low_price",
            "total_turnover", "volume", "prev_close"]
T0 = dt.datetime(2026, 12, 8, 9, 30, 0)
CODE = "000001.SZ"


@pytest.fixture
def env(framework_env):
    for code in (CODE, "000002.SZ", "600000.SH"):
        framework_env.data_proxy.add_instrument(code)
    return framework_env


def full_snapshot(**override):
    fields = dict(
        security_id="000001", market_type=MarketType.SZSE, orig_time=20261208093003250,
        open_price=10.1, close_price=10.2, high_price=10.3, low_price=10.0,
        total_value_trade=1234.5, total_volume_trade=120, pre_close_price=9.9,
        ask_volume=[1, 2], ask_price=[10.21, 10.22], bid_volume=[3, 4], bid_price=[10.19, 10.18],
        high_limited=10.89, last_price=10.2, low_limited=8.91, open_interest=7,
        prev_settlement=9.8, iopv=1.5, trading_phase_code="T0")
    fields.update(override)
    return snapshot(**fields)


# snapshots -------------------------------------------------------------------------

def test_tick_record_layout_and_event(env, live_bridge):
    snap = full_snapshot()
    assert live_bridge.on_snapshot(snap) is None
    record = lf.get_current_tick(CODE)
    assert list(record) == TICK_KEYS
    assert record == {
        "market_code": CODE, "datetime": dt.datetime(2026, 12, 8, 9, 30, 3, 250000),
        "open_price": 10.1, "close_price": 10.2, "high_price": 10.3, "low_price": 10.0,
        "total_turnover": 1234.5, "volume": 120, "prev_close": 9.9, "ask_vols": [1, 2],
        "asks": [10.21, 10.22], "bid_vols": [3, 4], "bids": [10.19, 10.18],
        "high_limited": 10.89, "last_price": 10.2, "low_limited": 8.91, "open_interest": 7,
        "prev_settlement": 9.8, "iopv": 1.5, "trading_phase_code": "T0"}
    assert record["bids"] is snap.bid_price  # copied by reference, never rescaled
    (event,) = queued_events()
    assert event.event_type is EVENT.TICK
    assert list(event.fields()) == ["calendar_dt", "trading_dt", "tick"]
    assert event.calendar_dt is record["datetime"] and event.trading_dt is record["datetime"]
    assert isinstance(event.tick, TickObject)
    assert event.tick.tick_dict is record
    assert event.tick.instrument is env.data_proxy.instruments(CODE)


def test_time_stamp_is_divided_by_1000_as_a_float(env, live_bridge, monkeypatch):
    seen = []
    real = lf.convert_int_to_datetime

    def convert(n):
        seen.append(n)
        return real(n)

    monkeypatch.setattr(lf, "convert_int_to_datetime", convert)
    live_bridge.on_snapshot(full_snapshot(orig_time=20261208093000000))
    live_bridge.on_bar(bar(end_time=20261208093100000))
    assert seen == [20261208093000.0, 20261208093100.0]
    assert all(type(n) is float for n in seen)


@pytest.mark.parametrize("market, security, code", [
    (MarketType.SZSE, "000001", "000001.SZ"), (MarketType.SSE, "600000", "600000.SH"),
])
def test_market_code_rule(env, live_bridge, market, security, code):
    live_bridge.on_snapshot(full_snapshot(security_id=security, market_type=market))
    live_bridge.on_bar(bar(security_id=security, market_type=market, end_time=20261208093100000))
    assert lf.get_current_tick(code)["market_code"] == code
    assert lf.get_current_bar(code)["market_code"] == code


def test_market_code_takes_whatever_the_utility_returns(env, live_bridge, monkeypatch):
    monkeypatch.setattr(lf, "get_exchane_from_vorn_mdtype", lambda m: "XSHE")
    env.data_proxy.add_instrument("000001.XSHE")
    live_bridge.on_snapshot(full_snapshot())
    assert list(lf.history_tick) == ["000001.XSHE"]


def test_non_text_security_id_fails_like_concatenation(env, live_bridge):
    with pytest.raises(TypeError):
        live_bridge.on_snapshot(full_snapshot(security_id=1))
    assert lf.history_tick == {} and queued_events() == []


def test_sixty_one_snapshots_keep_the_last_sixty(env, live_bridge):
    for i in range(61):
        live_bridge.on_snapshot(full_snapshot(last_price=float(i)))
    ticks = lf.history_ticks(CODE, 100)
    assert [t["last_price"] for t in ticks] == [float(i) for i in range(1, 61)]
    assert lf.history_tick[CODE].maxlen == 60
    events = queued_events()
    assert len(events) == 61
    assert lf.get_current_tick(CODE) is events[-1].tick.tick_dict
    assert lf.history_bar == {}


@pytest.mark.parametrize("missing", ["orig_time", "security_id", "market_type", "iopv",
                                     "trading_phase_code", "bid_price"])
def test_snapshot_missing_attribute_changes_nothing(env, live_bridge, missing):
    fields = vars(full_snapshot()).copy()
    del fields[missing]
    with pytest.raises(AttributeError, match=missing):
        live_bridge.on_snapshot(SimpleNamespace(**fields))
    assert lf.history_tick == {} and queued_events() == []


@pytest.mark.parametrize("stamp, error", [("2026", TypeError), (-5000, ValueError),
                                          (None, TypeError)])
def test_rejected_time_stamp_changes_nothing(env, live_bridge, stamp, error):
    live_bridge.on_snapshot(full_snapshot())
    with pytest.raises(error):
        live_bridge.on_snapshot(full_snapshot(orig_time=stamp))
    assert len(lf.history_tick[CODE]) == 1 and len(queued_events()) == 1


def test_unknown_instrument_keeps_the_record_but_queues_nothing(framework_env, live_bridge):
    with pytest.raises(LookupError):
        live_bridge.on_snapshot(full_snapshot())
    assert len(lf.history_tick[CODE]) == 1
    assert queued_events() == []


def test_failing_tick_object_keeps_the_record(env, live_bridge, monkeypatch):
    def refuse(instrument, record):
        raise RuntimeError("no tick")

    monkeypatch.setattr(lf, "TickObject", refuse)
    with pytest.raises(RuntimeError):
        live_bridge.on_snapshot(full_snapshot())
    assert lf.get_current_tick(CODE)["market_code"] == CODE and queued_events() == []


def test_outside_names_are_read_at_each_call(env, live_bridge, monkeypatch):
    made = []
    monkeypatch.setattr(lf, "Event", lambda kind, **f: made.append((kind, sorted(f))) or "ev")
    live_bridge.on_snapshot(full_snapshot())
    assert made == [(EVENT.TICK, ["calendar_dt", "tick", "trading_dt"])]
    assert queued_events() == ["ev"]


# bars ------------------------------------------------------------------------------

def test_bar_record_layout(env, live_bridge):
    b = bar(end_time=20261208093100000, open=1.0, close=2.0, high=3.0, low=0.5, amount=99.5,
            volume=10, prev_close=1.5)
    env.update_universe([CODE, "000002.SZ"])
    live_bridge.on_bar(b)
    record = lf.get_current_bar(CODE)
    assert list(record) == BAR_KEYS
    assert record == {"market_code": CODE, "orig_time": dt.datetime(2026, 12, 8, 9, 31),
                      "open_price": 1.0, "close_price": 2.0, "high_price": 3.0, "low_price": 0.5,
                      "total_turnover": 99.5, "volume": 10, "prev_close": 1.5}
    assert "datetime" not in record
    assert lf.history_bar[CODE].maxlen is None
    assert queued_events() == [] and lf.history_tick == {}


def test_bar_history_is_unbounded(env, live_bridge):
    env.update_universe([CODE])
    for i in range(100):
        live_bridge.on_bar(bar(when=T0 + dt.timedelta(minutes=i + 1), volume=i))
    assert [b["volume"] for b in lf.history_bars(CODE, 0)] == list(range(100))


def feed(bridge, stamps, codes=None):
    for i, s in enumerate(stamps):
        sec = (codes or ["000001"] * len(stamps))[i]
        bridge.on_bar(bar(security_id=sec, end_time=s))


def bar_events():
    return [(e.event_type, e.calendar_dt, e.trading_dt) for e in queued_events()]


T = 20261208093100000
U = 20261208093200000


def test_universe_of_three_one_event_per_bar_time(env, live_bridge):
    env.update_universe([CODE, "000002.SZ", "600000.SH"])
    feed(live_bridge, [T, T], ["000001", "000002"])
    assert queued_events() == [] and live_bridge.bar_cnt == 2
    feed(live_bridge, [T], ["600000"])
    when = dt.datetime(2026, 12, 8, 9, 31)
    assert bar_events() == [(EVENT.BAR, when, when)]
    assert list(queued_events()[0].fields()) == ["calendar_dt", "trading_dt"]
    assert live_bridge.bar_cnt == 0 and live_bridge.current_trade_dt == T / 1000
    assert type(live_bridge.current_trade_dt) is float
    # a fourth bar of t counts as 1 again; t is reported again only after three more
    feed(live_bridge, [T, T])
    assert live_bridge.bar_cnt == 2 and len(queued_events()) == 1
    feed(live_bridge, [T])
    assert len(queued_events()) == 2


def test_new_bar_time_restarts_the_count(env, live_bridge):
    env.update_universe([CODE, "000002.SZ", "600000.SH"])
    feed(live_bridge, [T, T, U])
    assert queued_events() == []
    assert live_bridge.bar_cnt == 1 and live_bridge.current_trade_dt == U / 1000
    feed(live_bridge, [U, U])
    when = dt.datetime(2026, 12, 8, 9, 32)
    assert bar_events() == [(EVENT.BAR, when, when)]


def test_universe_of_one_reports_every_bar(env, live_bridge):
    env.update_universe([CODE])
    feed(live_bridge, [T, T, U])
    assert [e[1] for e in bar_events()] == [dt.datetime(2026, 12, 8, 9, 31)] * 2 + [
        dt.datetime(2026, 12, 8, 9, 32)]
    assert live_bridge.bar_cnt == 0


def test_empty_universe_never_reports(env, live_bridge):
    feed(live_bridge, [T, T, U, U])
    assert queued_events() == [] and live_bridge.bar_cnt == 2


def test_universe_is_read_for_every_bar(env, live_bridge):
    env.update_universe([CODE, "000002.SZ"])
    feed(live_bridge, [T])
    env.update_universe([CODE, "000002.SZ", "600000.SH"])
    feed(live_bridge, [T])
    assert queued_events() == []
    env.update_universe([CODE, "000002.SZ"])
    feed(live_bridge, [T])
    assert queued_events() == [] and live_bridge.bar_cnt == 3
    env.update_universe([CODE])
    feed(live_bridge, [U])
    assert len(queued_events()) == 1


def test_bar_event_time_is_the_whole_second(env, live_bridge, monkeypatch):
    seen = []
    monkeypatch.setattr(lf, "convert_int_to_whole_date", lambda n: seen.append(n) or "day")
    env.update_universe([CODE])
    feed(live_bridge, [20261208093100500])
    assert seen == [20261208093100] and type(seen[0]) is int
    assert bar_events() == [(EVENT.BAR, "day", "day")]


def test_day_switch_does_not_reset_the_bar_count(env, live_bridge):
    env.update_universe([CODE, "000002.SZ"])
    feed(live_bridge, [T])
    live_bridge.on_switch_day()
    assert lf.history_bar == {} and live_bridge.bar_cnt == 1
    feed(live_bridge, [T])
    assert len(queued_events()) == 1


@pytest.mark.parametrize("missing", ["security_id", "end_time", "open", "prev_close"])
def test_bar_missing_attribute_changes_nothing(env, live_bridge, missing):
    fields = vars(bar(end_time=T)).copy()
    del fields[missing]
    with pytest.raises(AttributeError, match=missing):
        live_bridge.on_bar(SimpleNamespace(**fields))
    assert lf.history_bar == {} and live_bridge.bar_cnt == 0 and live_bridge.current_trade_dt == 0


def test_failing_universe_keeps_record_and_count(env, live_bridge, monkeypatch):
    def broken():
        raise RuntimeError("no universe")

    monkeypatch.setattr(env, "get_universe", broken)
    with pytest.raises(RuntimeError):
        feed(live_bridge, [T])
    assert len(lf.history_bar[CODE]) == 1 and live_bridge.bar_cnt == 1
    assert queued_events() == []


@pytest.mark.parametrize("handler, make", [("on_snapshot", full_snapshot),
                                           ("on_bar", lambda **kw: bar(end_time=T, **kw))])
def test_non_text_security_id_fails_before_the_market_type_is_read(env, live_bridge, monkeypatch,
                                                                   handler, make):
    looked_up = []
    monkeypatch.setattr(lf, "get_exchane_from_vorn_mdtype", lambda m: looked_up.append(m) or "SZ")
    record = LoggedRecord(**dict(vars(make()), security_id=1))
    del record.fields["market_type"]
    with pytest.raises(TypeError):
        getattr(live_bridge, handler)(record)
    assert "market_type" not in record.reads and looked_up == []


def test_bar_conversion_is_looked_up_before_the_end_time_is_read(env, live_bridge, monkeypatch):
    fields = vars(bar(end_time=T)).copy()
    del fields["end_time"]
    monkeypatch.delattr(lf, "convert_int_to_datetime")
    with pytest.raises(NameError, match="convert_int_to_datetime"):
        live_bridge.on_bar(SimpleNamespace(**fields))


def test_tick_event_kind_is_read_before_the_tick_object_is_built(env, live_bridge, monkeypatch):
    built = []
    monkeypatch.setattr(lf, "EVENT", SimpleNamespace())
    monkeypatch.setattr(lf, "TickObject", lambda *a: built.append(a))
    with pytest.raises(AttributeError, match="TICK"):
        live_bridge.on_snapshot(full_snapshot())
    assert built == [] and len(lf.history_tick[CODE]) == 1


def test_new_bar_time_sets_the_count_without_reading_it(env, live_bridge):
    env.update_universe([CODE, "000002.SZ"])
    live_bridge.current_trade_dt = U / 1000
    del live_bridge.bar_cnt
    feed(live_bridge, [T])
    assert live_bridge.bar_cnt == 1 and live_bridge.current_trade_dt == T / 1000


def test_records_are_independent_and_hold_exact_references(env, live_bridge):
    first, second = full_snapshot(), full_snapshot(last_price=11.0, bid_price=[9.0])
    held = first.bid_price
    before = sys.getrefcount(held)
    live_bridge.on_snapshot(first)
    live_bridge.on_snapshot(second)
    older, newer = lf.history_tick[CODE]
    assert (older["last_price"], newer["last_price"]) == (10.2, 11.0)
    assert older["bids"] is held and newer["bids"] == [9.0]
    assert sys.getrefcount(held) == before + 1       # the record's one reference
    older["extra"] = 1                              # a plain dict of its own
    assert "extra" not in newer and "extra" not in lf.get_current_tick(CODE)


def test_records_holding_containers_are_seen_by_the_cycle_collector(env, live_bridge):
    # An untracked dict holding a list would hide any cycle through that list from the collector.
    live_bridge.on_snapshot(full_snapshot())
    record = lf.get_current_tick(CODE)
    assert gc.is_tracked(record)
    assert any(r is record for r in gc.get_referrers(record["bids"]))


class CountingStrategy(lf.VornStrategy):
    """A strategy subclass that watches the bar count through a property."""
    seen = []

    @property
    def bar_cnt(self):
        return self.__dict__.get("_cnt", 0)

    @bar_cnt.setter
    def bar_cnt(self, value):
        type(self).seen.append(value)
        self.__dict__["_cnt"] = value


@pytest.mark.parametrize("later", ["property", "plain"])
def test_bar_count_stores_respect_the_class(env, live_bridge, later):
    # The count is stored into the instance until a subclass (or a changed class) says otherwise.
    env.update_universe([CODE, "000002.SZ"])
    feed(live_bridge, [T, T, U])
    assert live_bridge.bar_cnt == 1
    if later == "property":
        CountingStrategy.seen = []
        watched = CountingStrategy(make_config())
        feed(watched, [T, T, U])
        assert CountingStrategy.seen == [0, 1, 2, 0, 1] and watched.bar_cnt == 1
    else:
        type(live_bridge).bar_cnt = property(lambda self: 42, lambda self, v: None)
        try:
            feed(live_bridge, [U])
            assert live_bridge.bar_cnt == 42
        finally:
            del type(live_bridge).bar_cnt
    feed(live_bridge, [U])
    assert live_bridge.bar_cnt == 0
