"""Differential fuzzing of the live bridge: the native module and its plain-Python twin are driven
side by side through the same random sequence of terminal callbacks, timer firings, day-clock
calls, history reads, configuration and order changes, changes to the classes of the terminal's
records and replaced module names. After every step both sides must agree on the return value or
the exception (type and message), the events queued (in a canonical form of each event and its
fields), the module state (histories, order and algorithmic-order maps, parameters, overwrite
counter), the bridge's own attributes, the log lines and the calls made to the terminal context.
A failure names the first step at which the two differ.

Each side has its own module state, bridge, context, logger and framework orders; the records, the
configuration, the clock and the framework environment are shared, and every replacement of a
module name puts the same object into both modules.

CORVANE_FUZZ_EXAMPLES=<n> sets the number of generated sequences (40 by default; CORVANE_LONG=1
makes it 1500) and CORVANE_FUZZ_STEPS=<n> the steps per sequence (40 by default).
"""
import collections
import datetime as _dt
import enum
import importlib.util
import itertools
import math
import os
import sys
import types

import numpy as np
import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule, run_state_machine_as_test

import corvane.tessara.model.order as order_model
import corvane.tessara.model.trade as trade_model
import corvane.tessara.utils.livefeed as native
import pyvorn.strategy
from corvane.tessara.const import SIDE
from corvane.tessara.core.events import Event
from corvane.tessara.environment import Environment
from pyvorn.enums import AlgoControlType, MarketType, OrderStatusType

import implementations
from support_orders import LogRecorder
from support_reliability import CALLS, UNIVERSE
from test_fuzz_callbacks import BAD, MISSING, Exploding, args_strategy

pytestmark = pytest.mark.native_only  # needs the native module beside the twin

EXAMPLES = int(os.environ.get("CORVANE_FUZZ_EXAMPLES") or (1500 if os.environ.get("CORVANE_LONG") else 40))
STEPS = int(os.environ.get("CORVANE_FUZZ_STEPS") or 40)

# Steps run by every machine of this process, for the summary line of the long mode.
STEP_COUNT = collections.Counter()

STATE = ("vorn_params", "history_bar", "history_tick", "orders_dict", "algo_parent_orders",
         "algo_child_orders", "algo_child_trades", "algo_parent_id", "overwritten_events")
# Module names a step may replace, and the names each side gets its own value for.
PATCHABLE = ("get_exchane_from_vorn_mdtype", "convert_int_to_datetime", "convert_int_to_whole_date",
             "Event", "copy", "deque", "TickObject", "EVENT", "get_trade_type_from_vorn", "OrderStatusType")
PER_SIDE = STATE + ("event_queue", "overwrite_warning_interval", "system_log", "datetime", "np")

CODES = ["000001.SZ", "000002.SZ", "600000.SH", "000001.SH", "", None, 7, ("a",)]
COUNTS = st.one_of(st.integers(-70, 70), st.sampled_from([None, 1.5, "3", 2 ** 70, True, math.nan]))
TIMES = [_dt.datetime(2026, 12, 8, h, m, s, us) for h, m, s, us in
         [(8, 0, 0, 0), (8, 59, 59, 999999), (9, 0, 0, 0), (9, 23, 0, 0), (9, 24, 0, 1), (12, 0, 0, 0),
          (15, 29, 59, 0), (15, 30, 0, 0), (23, 59, 59, 500000), (0, 0, 0, 0)]]


class Clock:
    """The wall clock of both sides: `datetime.now()` and `np.datetime64("today", ...)`."""

    def __init__(self):
        clock = self

        class FakeDatetime(_dt.datetime):
            @classmethod
            def now(cls, tz=None):
                return clock.now

        class FakeNumpy:
            def datetime64(self, value, *unit):
                if isinstance(value, str) and value == "today":
                    return np.datetime64(clock.now.date(), *unit)
                return np.datetime64(value, *unit)

            def __getattr__(self, name):
                return getattr(np, name)

        self.fake = type("datetime", (FakeDatetime,), {})
        self.np = FakeNumpy()
        self.now = _dt.datetime(2026, 12, 8, 10, 0, 0)

    def set(self, moment):
        self.now = moment


def load_twin():
    """A private copy of the twin, executed as the module itself but not registered anywhere."""
    spec = importlib.util.spec_from_file_location(implementations.MODULES["livefeed"],
                                                  implementations.TWIN_DIR / "livefeed.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# ---- canonical forms ----------------------------------------------------------------------------

def canon(obj, depth=0):
    """A comparable form of `obj`: equal for equal values built on either side, whatever their
    identity; framework objects by their class name and fields."""
    if depth > 8:
        return "<deep>"
    d = depth + 1
    if obj is None or isinstance(obj, (bool, str, bytes)):
        return obj
    if isinstance(obj, int):
        return ("int", type(obj).__name__, int(obj))
    if isinstance(obj, float):
        return ("float", repr(float(obj)))
    if isinstance(obj, enum.Enum):
        return ("enum", type(obj).__qualname__, obj.name)
    if isinstance(obj, (_dt.datetime, _dt.date, _dt.time, _dt.timedelta, np.generic)):
        return ("value", type(obj).__name__, repr(obj))
    if isinstance(obj, collections.deque):
        return ("deque", obj.maxlen, [canon(x, d) for x in obj])
    if isinstance(obj, (list, tuple)):
        return (type(obj).__name__, [canon(x, d) for x in obj])
    if isinstance(obj, dict):
        return ("dict", [(canon(k, d), canon(v, d)) for k, v in obj.items()])
    if isinstance(obj, types.MethodType):
        return ("method", obj.__func__.__name__, type(obj.__self__).__qualname__)
    if isinstance(obj, (types.FunctionType, types.BuiltinFunctionType, type, types.ModuleType)):
        return ("named", getattr(obj, "__qualname__", getattr(obj, "__name__", "?")))
    if isinstance(obj, pyvorn.strategy.Context):
        return ("context",)
    if isinstance(obj, Exploding):
        return ("exploding",)
    slots = [n for c in type(obj).__mro__ for n in vars(c).get("__slots__", ())]
    own = dict(vars(obj)) if hasattr(obj, "__dict__") else {}
    if slots or own:
        values = [(n, getattr(obj, n, MISSING)) for n in slots] + sorted(own.items())
        return (type(obj).__qualname__, [(n, canon(v, d)) for n, v in values])
    if obj is MISSING:
        return ("missing",)
    return ("opaque", type(obj).__qualname__)


def outcome_of(call):
    """('ok', canonical result) or ('raised', exception type, message)."""
    try:
        result = call()
    except Exception as exc:  # every ordinary failure is compared; SystemError is a fault
        if isinstance(exc, SystemError):
            raise
        try:
            text = str(exc)
        except Exception:
            text = "<unprintable>"
        return ("raised", type(exc).__qualname__, text)
    return ("ok", canon(result))


# ---- one side: a module with its own state --------------------------------------------------------

class Side:
    def __init__(self, name, module, clock, config):
        self.name = name
        self.module = module
        self.saved = {n: module.__dict__.get(n, MISSING) for n in PER_SIDE + PATCHABLE}
        self.log = LogRecorder()
        for n in STATE:
            current = getattr(module, n)
            setattr(module, n, type(current)() if n != "overwritten_events" else 0)
        # A small queue, so sequences reach the overwrite rule. Every overwrite warns: the time of
        # the last warning is process state of the native module (earlier tests may have set it)
        # but module state of the twin, so any throttling interval would compare those histories.
        module.event_queue = module.RB(capacity=7, dtype=object)
        module.overwrite_warning_interval = 0
        module.system_log = self.log
        module.datetime = clock.fake
        module.np = clock.np
        self.bridge = module.VornStrategy(config)
        self.context = pyvorn.strategy.Context(pyvorn.strategy.ManualScheduler())
        self.bridge.context = self.context

    def restore(self):
        for n, v in self.saved.items():
            if v is MISSING:
                self.module.__dict__.pop(n, None)
            else:
                setattr(self.module, n, v)

    def observe(self):
        m = self.module
        queue = [canon(e) for e in np.asarray(m.event_queue)] if hasattr(m.event_queue, "_unwrap") else "?"
        own = {k: v for k, v in vars(self.bridge).items() if k not in ("context", "config")}
        return {
            "events": queue,
            "state": {n: canon(getattr(m, n, MISSING)) for n in STATE},
            "bridge": canon(own),
            "log": list(self.log.lines),
            "context": canon(self.context.calls),
            "timers": [(due, canon(cb)) for due, cb in self.context.scheduler.pending],
        }


# ---- what steps are made of ----------------------------------------------------------------------

class Defaulting:
    """A record class whose missing attributes read as 0 (a record's __class__ is swapped to it)."""

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        return 0


def raising_property(name):
    def get(self):
        raise LookupError("no " + name)
    return property(get)


def value_property(value):
    return property(lambda self: value)


class OtherEvent(Event):
    pass


def _fail(*args):
    raise RuntimeError("replaced name fails")


# Replacement values of module names: the same object goes into both modules.
REPLACEMENTS = {
    "get_exchane_from_vorn_mdtype": [lambda mt: "XX", lambda mt: 7, _fail, lambda mt: None],
    "convert_int_to_datetime": [lambda n: n, _fail, lambda n: int(n)],
    "convert_int_to_whole_date": [lambda n: ("day", n), _fail],
    "Event": [OtherEvent, _fail],
    "copy": [types.SimpleNamespace(deepcopy=lambda x: ("copied", x)), types.SimpleNamespace()],
    "deque": [list, lambda *a, **k: collections.deque(maxlen=2)],
    "TickObject": [lambda ins, rec: ("tick", rec), _fail],
    "EVENT": [types.SimpleNamespace(TICK="t", BAR="b", TRADE="tr")],
    "get_trade_type_from_vorn": [lambda c: c, _fail],
    "OrderStatusType": [types.SimpleNamespace(UnSend=OrderStatusType.Filled, Sended=OrderStatusType.Cancelled),
                        types.SimpleNamespace(**{m.name: m for m in OrderStatusType})],
}

CALLBACKS = sorted(CALLS)
DAY_METHODS = ["on_switch_day", "on_initialize", "create_time_listener", "send_before_trading_event",
               "send_open_auction_event", "send_after_trading_event", "set_timer", "set_next_day_timer",
               "send_next_day_event"]
RECORD_ATTRS = ["security_id", "market_type", "orig_time", "end_time", "sys_quote_id", "client_order_id",
                "order_status", "last_match_qty", "error_msg", "control_type", "side", "trade_type",
                "fund_account_id", "trade_qty", "order_time"]

configs = st.builds(
    lambda md, ow, accounts, algo, cal: types.SimpleNamespace(base=types.SimpleNamespace(**{
        k: v for k, v in dict(md_type=md, order_way=ow, accounts=accounts, algo_account=algo,
                              trading_calendar=cal).items() if v is not MISSING})),
    st.sampled_from(["VnMD", "vnmd", "AMD", None, MISSING, 3]),
    st.sampled_from([MISSING, "fast", None]),
    st.sampled_from([{"a": "x_VnTD"}, {"a": "x_VnTD", "b": "y_vntd"}, {}, {"a": "a_b_c"}, {"a": "none"},
                     {"a": "x_Unknown"}, None, MISSING]),
    st.sampled_from([MISSING, None, "a_ATX", "a_atx", "a_other", "bad", 5]),
    st.sampled_from([[], [np.datetime64("2026-12-08")], MISSING, None]),
)


class LiveDifferential(RuleBasedStateMachine):
    """The native bridge and its twin, over identical stand-in environments."""

    twin_module = None

    def __init__(self):
        super().__init__()
        self.steps = 0
        self.env = Environment.install(universe=UNIVERSE)
        self.clock = Clock()
        self.config = types.SimpleNamespace(base=types.SimpleNamespace(accounts={"a": "x_VnTD"},
                                                                        trading_calendar=[]))
        self.record_cls = type("TerminalRecord", (), {"__init__": _fill, "__repr__": _record_repr})
        self.sides = []
        try:
            self.sides = [Side("native", native, self.clock, self.config),
                          Side("twin", self.twin_module, self.clock, self.config)]
            for k in range(3):
                self._add_order("C%d" % k, k)
            for s in self.sides:
                s.module.algo_parent_id.extend([1, 2, 3])
        except BaseException:
            self.teardown()
            raise

    def teardown(self):
        for s in self.sides:
            s.restore()
        trade_model._datetime = _dt.datetime
        Environment.reset()

    # ---- the lockstep ----

    def both(self, what, action):
        """Runs `action(side)` on each side with the same trade and order id counters, then
        compares everything either side can show."""
        self.steps += 1
        STEP_COUNT["steps"] += 1
        results = []
        base = 10000 * self.steps
        for s in self.sides:
            trade_model._trade_ids = itertools.count(base)
            order_model._order_ids = itertools.count(base)
            trade_model._datetime = self.clock.fake
            results.append(outcome_of(lambda: action(s)))
        observed = [s.observe() for s in self.sides]
        for key in ("outcome",) + tuple(observed[0]):
            a = results[0] if key == "outcome" else observed[0][key]
            b = results[1] if key == "outcome" else observed[1][key]
            assert a == b, "step %d (%s): %s differs\n native: %r\n twin:   %r" % (self.steps, what, key, a, b)

    def _add_order(self, coid, k):
        for s in self.sides:
            s.module.orders_dict[coid] = order_model.Order(
                UNIVERSE[k % 3], 1000, SIDE.BUY, price=10.0, order_id=k, dt=_dt.datetime(2026, 12, 8, 9, 30))

    def _record(self, source):
        """The generated record as an instance of this sequence's record class."""
        if not hasattr(source, "__dict__") or type(source).__name__ != "Record":
            return source
        rec = self.record_cls.__new__(self.record_cls)
        rec.__dict__.update(vars(source))
        return rec

    # ---- rules ----

    @rule(name=st.sampled_from(CALLBACKS), data=st.data(), swap=st.booleans())
    def callback(self, name, data, swap):
        args = list(data.draw(args_strategy(name)))
        args[0] = self._record(args[0])
        if isinstance(args[0], list):
            args[0] = [self._record(a) for a in args[0]]
        if swap and isinstance(args[0], self.record_cls):
            args[0].__class__ = type("Swapped", (Defaulting, self.record_cls), {})
        self.both(name, lambda s: getattr(s.bridge, name)(*args))

    @rule(name=st.sampled_from(CALLBACKS), i=st.integers(0, 40))
    def well_formed_callback(self, name, i):
        args = CALLS[name](i)
        self.both("%s #%d" % (name, i), lambda s: getattr(s.bridge, name)(*args))

    @rule(name=st.sampled_from(DAY_METHODS))
    def day_method(self, name):
        self.both(name, lambda s: getattr(s.bridge, name)())

    @precondition(lambda self: self.sides and self.sides[0].context.scheduler.pending)
    @rule()
    def fire_timer(self):
        self.both("timer", lambda s: s.context.scheduler.run_next())

    @rule(config=configs)
    def initialize(self, config):
        def run(s):
            s.bridge.config = config
            return s.bridge.initialize(config)
        self.both("initialize", run)

    @rule(kind=st.sampled_from(["EVENT.%s" % k for k in ("TICK", "BAR", "BEFORE_TRADING")] + [None, 5]))
    def send_day_event(self, kind):
        import corvane.tessara.core.events as events
        event_type = getattr(events.EVENT, kind[6:]) if isinstance(kind, str) else kind
        self.both("send_day_event", lambda s: s.bridge.send_day_event(event_type, self.clock.now))

    @rule(reader=st.sampled_from(["get_current_tick", "get_current_bar", "history_ticks", "history_bars"]),
          code=st.sampled_from(CODES), count=COUNTS)
    def read_history(self, reader, code, count):
        if reader.startswith("get_"):
            self.both(reader, lambda s: getattr(s.module, reader)(code))
        else:
            self.both(reader, lambda s: getattr(s.module, reader)(code, count))

    @rule(moment=st.sampled_from(TIMES))
    def set_clock(self, moment):
        self.clock.set(moment)

    @rule(coid=st.sampled_from(["C0", "C1", "C3", 7, None]), k=st.integers(0, 5))
    def add_order(self, coid, k):
        self._add_order(coid, k)

    @rule(sys_quote_id=st.one_of(st.integers(-2, 6), BAD.filter(lambda v: v is not MISSING)))
    def known_parent(self, sys_quote_id):
        try:
            hash(sys_quote_id)
        except Exception:
            return
        for s in self.sides:
            s.module.algo_parent_id.append(sys_quote_id)

    @rule(attr=st.sampled_from(RECORD_ATTRS), kind=st.sampled_from(["raise", "value", "delete"]),
          value=BAD.filter(lambda v: v is not MISSING))
    def change_record_class(self, attr, kind, value):
        if kind == "raise":
            setattr(self.record_cls, attr, raising_property(attr))
        elif kind == "value":
            setattr(self.record_cls, attr, value_property(value))
        elif attr in vars(self.record_cls):
            delattr(self.record_cls, attr)

    @rule(method=st.sampled_from(["__getattr__", "__eq__"]))
    def replace_record_method(self, method):
        if method == "__getattr__":
            self.record_cls.__getattr__ = lambda rec, name: (_ for _ in ()).throw(AttributeError(name))
        else:
            self.record_cls.__eq__ = lambda a, b: False

    @rule(name=st.sampled_from(sorted(REPLACEMENTS)), data=st.data())
    def replace_module_name(self, name, data):
        value = data.draw(st.sampled_from(REPLACEMENTS[name]))
        for s in self.sides:
            setattr(s.module, name, value)

    @rule()
    def restore_module_names(self):
        for s in self.sides:
            for n in PATCHABLE:
                if s.saved[n] is not MISSING:
                    setattr(s.module, n, s.saved[n])

    @rule(value=st.sampled_from([0, 5, -3, None, "x", 2 ** 70]))
    def reset_overwrite_count(self, value):
        for s in self.sides:
            s.module.overwritten_events = value

    @invariant()
    def same_module_state(self):
        if len(self.sides) == 2:
            a, b = (s.observe() for s in self.sides)
            assert a == b, "state differs after step %d" % self.steps


def _fill(self, **values):
    self.__dict__.update(values)


def _record_repr(self):
    return "TerminalRecord(%s)" % ", ".join(sorted(vars(self)))


@pytest.fixture
def twin_module(monkeypatch):
    if implementations.twin_loaded("livefeed"):
        pytest.skip("the native module is replaced by the twin in this run")
    module = load_twin()
    monkeypatch.setattr(LiveDifferential, "twin_module", module)
    return module


def test_native_and_twin_agree_step_by_step(twin_module):
    run_state_machine_as_test(
        LiveDifferential,
        settings=settings(max_examples=EXAMPLES, stateful_step_count=STEPS, deadline=None, database=None,
                          suppress_health_check=list(HealthCheck)))
    if os.environ.get("CORVANE_LONG") or os.environ.get("CORVANE_FUZZ_EXAMPLES"):
        print("differential: %d steps compared" % STEP_COUNT["steps"], file=sys.stderr)


@pytest.mark.parametrize("market_type", [MarketType.SZSE, MarketType.SSE])
@pytest.mark.parametrize("control", list(AlgoControlType))
def test_lockstep_detects_a_difference(twin_module, market_type, control):
    """The comparison is not blind: a twin whose exchange suffix differs is caught at the first
    market-data step, and one that ignores a control reply is caught at that reply."""
    machine = LiveDifferential()
    try:
        machine.sides[1].module.get_exchane_from_vorn_mdtype = lambda mt: "ZZ"
        rec = CALLS["on_snapshot"](1)[0]
        rec.market_type = market_type
        with pytest.raises(AssertionError, match="step 1 .on_snapshot."):
            machine.both("on_snapshot", lambda s: s.bridge.on_snapshot(rec))
        machine.restore_module_names()
        machine.sides[1].module.VornStrategy.on_control_algo_parent_order_res = lambda self, r: None
        reply = CALLS["on_control_algo_parent_order_res"](0)[0]
        reply.control_type = control
        if control in (AlgoControlType.Pause, AlgoControlType.Resume):
            with pytest.raises(AssertionError, match="differs"):
                machine.both("control", lambda s: s.bridge.on_control_algo_parent_order_res(reply))
        else:
            machine.both("control", lambda s: s.bridge.on_control_algo_parent_order_res(reply))
    finally:
        machine.teardown()
