"""Construction and start-up of the bridge: attributes, channel choice from
the configuration, bar subscription, day clock start, failure cases."""
import datetime as dt
from types import MethodType, SimpleNamespace

import numpy as np
import pytest

import corvane.tessara.utils.livefeed as lf
import pyvorn.strategy
from pyvorn.enums import AlgoType, MarketType, MDType, SubscribeDataType, TDType

from support_live import make_config

METHOD_ORDER = [
    "__init__", "initialize", "on_initialize", "on_switch_day", "on_snapshot", "on_tick_order",
    "on_tick_trade", "on_bar", "on_login", "on_query_asset", "on_query_position", "on_order",
    "on_trade", "on_order_action_error", "on_algo_login", "on_create_algo_parent_order_res",
    "on_cancel_algo_parent_order_res", "on_control_algo_parent_order_res",
    "on_algo_parent_order_update", "on_algo_child_order_update", "on_algo_child_order_trade",
    "create_time_listener", "send_day_event", "send_before_trading_event",
    "send_after_trading_event", "send_open_auction_event", "set_timer", "set_next_day_timer",
    "send_next_day_event",
]


class Log:
    def __init__(self):
        self.lines = []

    def info(self, text):
        self.lines.append(("info", text))

    def debug(self, text):
        self.lines.append(("debug", text))

    def warning(self, text):
        self.lines.append(("warning", text))


@pytest.fixture
def log(monkeypatch):
    rec = Log()
    monkeypatch.setattr(lf, "system_log", rec)
    return rec


def start(clock, terminal_context, **base):
    """A bridge over `base`, initialised at 08:00 with a recording context."""
    clock.set(2026, 12, 8, 8, 0, 0)
    base.setdefault("trading_calendar", [np.datetime64("2026-12-08", "D")])
    bridge = lf.VornStrategy(make_config(**base))
    bridge.context = terminal_context
    bridge.initialize(None)
    return bridge


def names(calls):
    return [name for name, _ in calls]


# construction ------------------------------------------------------------------

def test_class_layout():
    cls = lf.VornStrategy
    assert cls.__bases__ == (pyvorn.strategy.VornStrategy,)
    assert cls.__module__ == "corvane.tessara.utils.livefeed"
    own = [n for n in cls.__dict__ if callable(cls.__dict__[n])]
    assert own == METHOD_ORDER


def test_methods_bind_like_python_methods(live_bridge):
    """Attribute access hands out Python's own bound methods: a terminal that keeps timer
    callbacks and compares them later sees equal objects for the same method of one bridge."""
    bound = live_bridge.set_timer
    assert isinstance(bound, MethodType) and bound.__self__ is live_bridge
    assert bound == live_bridge.set_timer and bound != live_bridge.set_next_day_timer
    assert bound.__func__.__name__ == "set_timer"


def test_constructor_sets_attributes_in_order(clock):
    clock.set(2026, 12, 8, 23, 59, 59)
    config = make_config()
    bridge = lf.VornStrategy(config)
    assert isinstance(bridge, pyvorn.strategy.VornStrategy)
    assert isinstance(bridge.context, pyvorn.strategy.Context)  # the base constructor ran
    attrs = vars(bridge)
    assert list(attrs)[1:] == ["logged_in", "order_num", "bar_cnt", "current_trade_dt",
                               "first_dt", "config"]
    assert attrs["logged_in"] is False
    assert attrs["order_num"] == attrs["bar_cnt"] == attrs["current_trade_dt"] == 0
    assert type(attrs["bar_cnt"]) is int and type(attrs["current_trade_dt"]) is int
    assert attrs["first_dt"] == dt.date(2026, 12, 8)
    assert attrs["config"] is config
    assert lf.VornStrategy(config=config).config is config


def test_constructor_runs_the_next_init_in_the_mro():
    seen = []

    class Terminal(pyvorn.strategy.VornStrategy):
        def __init__(self, *args):
            seen.append(("terminal", args))
            super().__init__()

    class Mine(lf.VornStrategy, Terminal):
        def __init__(self, config):
            seen.append("mine")
            super().__init__(config)

    bridge = Mine(make_config())
    assert seen == ["mine", ("terminal", ())]
    assert isinstance(bridge.context, pyvorn.strategy.Context)


def test_failing_base_constructor_propagates(monkeypatch):
    def boom(self):
        raise RuntimeError("terminal refused")

    monkeypatch.setattr(pyvorn.strategy.VornStrategy, "__init__", boom)
    with pytest.raises(RuntimeError, match="terminal refused"):
        lf.VornStrategy(make_config())


def test_constructor_requires_config():
    with pytest.raises(TypeError):
        lf.VornStrategy()


def test_on_initialize_does_nothing(live_bridge, terminal_context):
    assert live_bridge.on_initialize() is None
    assert terminal_context.calls == [] and lf.vorn_params == {}


# initialize ----------------------------------------------------------------------

class Raising:
    """A configuration base whose md_type read fails."""
    accounts = {}
    trading_calendar = []

    @property
    def md_type(self):
        raise KeyError("md_type")


@pytest.mark.parametrize("md, expected", [
    ("VnMD", MDType.VnMD), ("vnmd", MDType.AMD), ("VNMD", MDType.AMD), ("AMD", MDType.AMD),
    ("", MDType.AMD), (None, MDType.AMD), (MDType.VnMD, MDType.AMD),
])
def test_market_data_channel(clock, terminal_context, md, expected):
    start(clock, terminal_context, md_type=md)
    assert terminal_context.calls_named("add_md_broker") == [(expected,)]
    assert lf.vorn_params["vorn_md"] is expected
    assert terminal_context.calls_named("subscribe")[0][0] is expected


def test_market_data_channel_without_or_with_failing_md_type(clock, terminal_context):
    start(clock, terminal_context)
    assert terminal_context.calls_named("add_md_broker") == [(MDType.AMD,)]
    bridge = lf.VornStrategy(SimpleNamespace(base=Raising()))
    bridge.context = terminal_context
    bridge.initialize(None)
    assert terminal_context.calls_named("add_md_broker")[-1] == (MDType.AMD,)


@pytest.mark.parametrize("setting", ["md_type", "order_way", "algo_account"])
@pytest.mark.parametrize("error, absent", [(RuntimeError, True), (LookupError, True),
                                           (KeyboardInterrupt, False), (SystemExit, False)])
def test_failing_optional_setting(clock, terminal_context, setting, error, absent):
    """An optional setting whose read fails with an ordinary error counts as absent; an
    interrupt or an exit raised by the read is not swallowed."""
    def fail(self):
        raise error(setting)
    base_cls = type("Base", (), {"accounts": {}, "trading_calendar": [], setting: property(fail)})
    clock.set(2026, 12, 8, 8, 0, 0)
    bridge = lf.VornStrategy(SimpleNamespace(base=base_cls()))
    bridge.context = terminal_context
    if absent:
        bridge.initialize(None)
        assert names(terminal_context.calls)[:2] == ["add_md_broker", "subscribe"]
        assert terminal_context.calls_named("add_md_broker") == [(MDType.AMD,)]
    else:
        with pytest.raises(error):
            bridge.initialize(None)
        assert terminal_context.calls_named("subscribe") == []


@pytest.mark.parametrize("base, expected", [
    ({}, []), ({"order_way": None}, [(None,)]), ({"order_way": "fast"}, [("fast",)]),
])
def test_order_way(clock, terminal_context, base, expected):
    start(clock, terminal_context, **base)
    assert terminal_context.calls_named("set_order_way") == expected


def test_full_start_up_sequence(clock, terminal_context, log, monkeypatch):
    asked = []
    real = lf.get_vorn_tdtype

    def tdtype(name):
        asked.append(name)
        return real(name)

    monkeypatch.setattr(lf, "get_vorn_tdtype", tdtype)
    start(clock, terminal_context, md_type="VnMD", order_way=3,
          accounts={"stock": "a1_vntd", "future": "a2_SimTd"}, algo_account="algo_atx")
    assert log.lines == [("info", "VornStrategy initialize...")]
    assert asked == ["VNTD", "VNTD", "SIMTD", "SIMTD"]
    calls = terminal_context.calls
    assert calls[:6] == [
        ("add_md_broker", (MDType.VnMD,)),
        ("set_order_way", (3,)),
        ("add_td_broker", (TDType.VnTD,)),
        ("add_td_broker", (TDType.SimTD,)),
        ("add_algo_broker", (AlgoType.ATX,)),
        ("subscribe", (MDType.VnMD, MarketType.SZSE, SubscribeDataType.Bar, [], "1m")),
    ]
    assert lf.vorn_params == {"vorn_md": MDType.VnMD, "vorn_td": TDType.SimTD,
                              "vorn_context": terminal_context}
    assert list(lf.vorn_params) == ["vorn_md", "vorn_td", "vorn_context"]
    # then the day clock: the day's three timers, the 08:00 re-arm, the midnight timer
    timers = [args[1].__name__ for name, args in calls[6:]]
    assert names(calls[6:]) == ["add_timer_interval"] * 5
    assert timers == ["send_before_trading_event", "send_open_auction_event",
                      "send_after_trading_event", "set_timer", "send_next_day_event"]


@pytest.mark.parametrize("algo, registered", [
    ("x_atx", True), ("x_ATX", True), ("x_AtX", True), ("x_twap", False), ("atx_x", False),
    (None, False),
])
def test_algo_channel(clock, terminal_context, log, algo, registered):
    start(clock, terminal_context, algo_account=algo)
    assert terminal_context.calls_named("add_algo_broker") == ([(AlgoType.ATX,)] if registered else [])
    assert log.lines == [("info", "VornStrategy initialize...")]
    assert len(terminal_context.calls_named("subscribe")) == 1


def test_no_algo_account_attribute(clock, terminal_context):
    start(clock, terminal_context)
    assert terminal_context.calls_named("add_algo_broker") == []


def test_config_argument_of_initialize_is_ignored(clock, terminal_context):
    bridge = start(clock, terminal_context, md_type="VnMD")
    first = list(terminal_context.calls)
    terminal_context.calls.clear()
    bridge.initialize(make_config(md_type="AMD", accounts={}))
    # a second initialize repeats every registration, from the constructor's config
    assert names(terminal_context.calls) == names(first)
    assert terminal_context.calls[0] == ("add_md_broker", (MDType.VnMD,))
    assert len(terminal_context.calls_named("subscribe")) == 1


@pytest.mark.parametrize("accounts, error, td_brokers", [
    ({"a": "x_simtd", "b": "y_vntd_extra", "c": "z_vntd"}, ValueError, [TDType.SimTD]),
    ({"a": "x_simtd", "b": "novalue"}, ValueError, [TDType.SimTD]),
    ({"a": "x_vntd", "b": "x_nochannel"}, ValueError, [TDType.VnTD]),
    (None, AttributeError, []),
    ({"a": 5}, AttributeError, []),
])
def test_bad_accounts_stop_start_up(clock, terminal_context, accounts, error, td_brokers):
    with pytest.raises(error):
        start(clock, terminal_context, accounts=accounts)
    assert terminal_context.td_brokers == td_brokers
    assert terminal_context.md_brokers == [MDType.AMD]
    assert lf.vorn_params["vorn_md"] is MDType.AMD
    assert terminal_context.calls_named("subscribe") == []
    assert terminal_context.calls_named("add_timer_interval") == []
    assert "vorn_context" not in lf.vorn_params


def test_unpacking_messages(clock, terminal_context):
    with pytest.raises(ValueError, match=r"too many values to unpack \(expected 2\)"):
        start(clock, terminal_context, accounts={"a": "x_y_z"})
    with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 2, got 1\)"):
        start(clock, terminal_context, accounts={"a": "xy"})
    with pytest.raises(ValueError, match="too many values"):
        start(clock, terminal_context, algo_account="a_b_atx")


def test_missing_accounts(clock, terminal_context):
    bridge = lf.VornStrategy(SimpleNamespace(base=SimpleNamespace(trading_calendar=[])))
    bridge.context = terminal_context
    with pytest.raises(AttributeError, match="accounts"):
        bridge.initialize(None)
    assert terminal_context.md_brokers == [MDType.AMD]


def test_failing_registration_propagates(clock, terminal_context, monkeypatch):
    def refuse(md_type):
        raise ConnectionError("no market data")

    monkeypatch.setattr(terminal_context, "add_md_broker", refuse)
    with pytest.raises(ConnectionError):
        start(clock, terminal_context)
    assert lf.vorn_params == {}


def test_accounts_in_mapping_order_and_last_wins(clock, terminal_context):
    start(clock, terminal_context, accounts={"z": "a_SIMTD", "a": "b_vntd"})
    assert terminal_context.td_brokers == [TDType.SimTD, TDType.VnTD]
    assert lf.vorn_params["vorn_td"] is TDType.VnTD


def test_no_accounts_leaves_vorn_td_unset(clock, terminal_context):
    start(clock, terminal_context, accounts={})
    assert "vorn_td" not in lf.vorn_params
    assert len(terminal_context.calls_named("subscribe")) == 1


@pytest.mark.parametrize("accounts, error", [({}, None), ({"a": "x_y_z"}, ValueError)])
def test_channel_lookup_is_read_only_when_a_channel_is_looked_up(clock, terminal_context,
                                                                 monkeypatch, accounts, error):
    monkeypatch.delattr(lf, "get_vorn_tdtype")
    if error is None:
        start(clock, terminal_context, accounts=accounts)
        assert len(terminal_context.calls_named("subscribe")) == 1
    else:
        with pytest.raises(error):
            start(clock, terminal_context, accounts=accounts)


def test_channel_lookup_is_read_at_each_use(clock, terminal_context, monkeypatch):
    """Both lookups of an account read the module's current get_vorn_tdtype."""
    seen = []

    def first(name):
        seen.append(("first", name))
        monkeypatch.setattr(lf, "get_vorn_tdtype", second)
        return TDType.SimTD

    def second(name):
        seen.append(("second", name))
        return TDType.VnTD

    monkeypatch.setattr(lf, "get_vorn_tdtype", first)
    start(clock, terminal_context, accounts={"a": "x_simtd"})
    assert seen == [("first", "SIMTD"), ("second", "SIMTD")]
    assert terminal_context.td_brokers == [TDType.SimTD] and lf.vorn_params["vorn_td"] is TDType.VnTD
