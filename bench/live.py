"""Live callbacks and history readers: the bridge's own cost against its plain-Python twin.

Every case runs in two framework environments ("worlds") and with three shapes of terminal
record:

- worlds: `cheap`, `__slots__` fakes whose outside calls are C callables that do next to
  nothing (so the figures show the bridge's own work), and `host`, the framework's and the
  terminal's host stand-ins as the module bound them;
- shapes: `dataclass` (the terminal's own record classes), `slots` (a `__slots__` class of the
  same fields) and `getset` (a natively bound record whose fields are getset descriptors, from
  the bench's own small extension, bench/nativeext.py; skipped when it cannot be built).

Each case is run by four loops, timed in alternation: the bridge, the twin (twin/livefeed.py,
loaded as a private copy), the twin with its event-queue overwrite check removed (what a plain
module of the same design without that check costs), and the floor. The floor is the outside
calls the callback must make (conversions, constructors, the history and event-queue appends),
each with the same arguments, replayed from C by the bench extension, so it costs what native
code pays for them; without the extension a Python loop replays them, which charges the
interpreter's own call overhead to the floor and so understates the bridge's own cost. Own
cost = total - floor, for the bridge and the twin alike; attribute reads and the building of
records are own cost on both sides."""
import collections
import contextlib
import copy
import dataclasses
import itertools
import json
import operator
import os
import types
from typing import Callable, Optional

import corvane.tessara.utils.livefeed as lf
from corvane.tessara.environment import Environment
from pyvorn import records
from pyvorn.enums import MarketType, OrderStatusType

from . import nativeext, twins
from .harness import Row, calibrate, per_call

QUEUE_CAPACITY = 1 << 18     # never full within one timed batch
STAMP = 20261208093000500    # 2026-12-08 09:30:00.500
CODES = ("000001", "000002", "000004")
WORLDS = ("cheap", "host")
SHAPES = ("dataclass", "slots", "getset")
ROUNDS = 3

# Own cost of the bridge over the twin's own cost, per case: (time, instructions); None: no target.
TARGETS = {
    "on_snapshot": (0.45, 0.2),
    "on_tick_trade": (0.45, 0.2),
    "on_tick_order": (0.45, 0.2),
    "on_bar x3": (0.4, None),
    "order cycle": (0.4, None),
    "get_current_tick": (0.5, None),
    "history_ticks(10)": (0.5, None),
}
BASELINE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "baseline_live.json")
# Slower than the baseline beyond noise: the bridge's total time over the twin's up by more than
# this share, or own instructions up by more than this share plus a few instructions. (With the
# host stand-ins the floor is most of a callback's time, so own time is a small difference of
# two large timings; the total ratio and the instruction count are the stable figures there.)
NOISE_TIME = 0.10
NOISE_IR = (0.03, 40)


# -- record shapes ------------------------------------------------------------------------------

_FIELDS = {}          # record class -> its field names
_SHAPED = {}          # (shape, terminal class) -> record class of that shape


def _slots_class(cls, names):
    def __init__(self, **values):
        for k, v in values.items():
            setattr(self, k, v)
    return type(cls.__name__, (), {"__slots__": names, "__init__": __init__, "__module__": __name__})


def record_class(shape, cls):
    """The record class of `shape` mirroring the terminal's dataclass `cls`; None for getset
    records when the bench extension is unavailable."""
    key = (shape, cls)
    if key not in _SHAPED:
        names = tuple(f.name for f in dataclasses.fields(cls))
        if shape == "dataclass":
            made = cls
        elif shape == "slots":
            made = _slots_class(cls, names)
        elif shape == "getset":
            ext = nativeext.load()
            made = ext.record_type(cls.__name__, names) if ext else None
        else:
            raise ValueError("unknown record shape: %r" % (shape,))
        _SHAPED[key] = made
        if made is not None:
            _FIELDS[made] = names
    return _SHAPED[key]


def _plain(v):
    return v.value if hasattr(v, "value") else v


def make_record(world, shape, cls, **fields):
    """A terminal record of `cls`'s fields (its defaults, then `fields`) in `shape`; the cheap
    world's records hold plain integers where the terminal's hold enum members."""
    values = {f.name: getattr(cls(), f.name) for f in dataclasses.fields(cls)}
    values.update(fields)
    if world == "cheap":
        values = {k: _plain(v) for k, v in values.items()}
    return record_class(shape, cls)(**values)


def copy_record(record):
    """A record of the same class and fields, so each side reads records of its own (a read may
    change how an object keeps its attributes)."""
    if isinstance(record, list):
        return [copy_record(r) for r in record]
    names = _FIELDS[type(record)]
    return type(record)(**{n: getattr(record, n) for n in names})


def _record(world, cls, shape="slots", **fields):
    """A terminal record in `world` (kept for the growth group)."""
    return make_record(world, shape, cls, **fields)


# -- worlds -------------------------------------------------------------------------------------

def _slots(name, **attrs):
    """One instance of a fresh `__slots__` class holding `attrs`."""
    cls = type(name, (), {"__slots__": tuple(attrs)})
    obj = cls()
    for k, v in attrs.items():
        setattr(obj, k, v)
    return obj


def _args(*args):
    return args


def _ident(x):
    return x


class _CheapPosition:
    __slots__ = ("market_code", "direction", "init_qty", "state")

    def __init__(self, market_code, direction, init_qty):
        self.market_code = market_code
        self.direction = direction
        self.init_qty = init_qty

    def set_state(self, state):
        self.state = state


class _CheapOrder:
    """The framework order of the cheap world."""
    __slots__ = ("order_id", "secondary_order_id", "market_code", "side", "position_effect", "price", "status",
                 "avg_price", "filled_quantity", "unfilled_quantity", "frozen_cash", "reject_reason")

    def __init__(self):
        self.order_id, self.secondary_order_id, self.market_code = 1, None, "000001.SZ"
        self.side, self.position_effect, self.price, self.status = "BUY", "OPEN", 10.0, 0
        self.avg_price, self.filled_quantity, self.unfilled_quantity = 0.0, 0, 1000

    def set_frozen_cash(self, value):
        self.frozen_cash = value

    def mark_rejected(self, reason):
        self.reject_reason = reason


class _Kinds:
    """Event kinds of the cheap world: the positional argument of `dict`, so an event is a dict
    holding its kind and its fields."""


for _name in ("TICK", "BAR", "L2_ORDER", "L2_TRANSACTION", "TRADE", "ORDER_CREATION_PASS",
              "ORDER_CANCELLATION_PASS", "ORDER_PENDING_CANCEL", "ORDER_UNSOLICITED_UPDATE",
              "ORDER_CANCELLATION_REJECT", "QUERY_POSITION", "QUERY_ACCOUNT", "LOGIN",
              "PARENT_ORDER_UPDATE", "CHILD_ORDER_UPDATE", "CHILD_ORDER_TRADE", "BEFORE_TRADING",
              "AFTER_TRADING", "OPEN_AUCTION", "NEXT_DAY_START"):
    setattr(_Kinds, _name, (("event", _name),))

# The outside names the callbacks read from their module's namespace that a world replaces; each
# is a row of the bridge's own table (`_outside_names`), which `world` checks.
OUTSIDE_NAMES = (
    "convert_int_to_datetime", "convert_int_to_whole_date", "get_exchane_from_vorn_mdtype",
    "get_side_from_vorn_l2_order", "get_order_type_from_vorn_l2_order", "get_l2order_type_from_vorn",
    "get_trade_type_from_vorn", "Environment", "TickObject", "L2Order", "L2Transaction", "Event", "EVENT",
    "SIDE", "ORDER_STATUS", "OrderStatusType", "POSITION_DIRECTION", "Position", "Trade", "copy", "system_log",
)


def _cheap_names():
    ext = nativeext.load()
    pack = ext.pack if ext else _args
    same = ext.same if ext else _ident
    universe = ["%s.SZ" % c for c in CODES]
    instrument = _slots("Instrument", market_code="000001.SZ")
    env = _slots("Env",
                 data_proxy=_slots("DataProxy", instruments={u: instrument for u in universe}.__getitem__),
                 get_universe=itertools.repeat(universe).__next__,
                 get_account=dict.fromkeys(universe, "account").__getitem__)
    return {
        "convert_int_to_datetime": float,
        "convert_int_to_whole_date": float,
        "get_exchane_from_vorn_mdtype": {MarketType.SZSE.value: "SZ", MarketType.SSE.value: "SH"}.__getitem__,
        "get_side_from_vorn_l2_order": slice,
        "get_order_type_from_vorn_l2_order": slice,
        "get_l2order_type_from_vorn": slice,
        "get_trade_type_from_vorn": str,
        "Environment": _slots("Environment", get_instance=itertools.repeat(env).__next__),
        "TickObject": slice,
        "L2Order": _slots("L2Order", __from_create__=pack),
        "L2Transaction": _slots("L2Transaction", __from_create__=pack),
        "Event": dict,
        "EVENT": _Kinds,
        "SIDE": _slots("SIDE", BUY="BUY", SELL="SELL"),
        "ORDER_STATUS": _slots("ORDER_STATUS", PENDING_NEW=0, ACTIVE=1, PARTIALLY_FILLED=2, FILLED=3, CANCELLED=4,
                               REJECTED=5),
        "OrderStatusType": type("OrderStatusType", (), {m.name: m.value for m in OrderStatusType}),
        "POSITION_DIRECTION": _slots("POSITION_DIRECTION", LONG="LONG"),
        "Position": _CheapPosition,
        "Trade": _slots("Trade", __from_create__=dict),
        "copy": _slots("copy", deepcopy=same),
        "system_log": _slots("system_log", info=len, warning=len, debug=len),
    }


_twins = {}


def twin(kind="twin"):
    """The plain-Python twin of the bridge ("twin"), or a second copy of it whose events go
    straight onto the queue, without the overwrite check ("plain")."""
    if kind not in _twins:
        module = twins.load("livefeed")
        if kind == "plain":
            def _queue(queue, event):
                queue.append(event)
            module._queue = _queue
        _twins[kind] = module
    return _twins[kind]


def _modules():
    return (lf, twin("twin"), twin("plain"))


@contextlib.contextmanager
def world(name):
    """Binds the world's outside names in the bridge's and both twins' namespaces."""
    modules = _modules()
    unknown = set(OUTSIDE_NAMES) - {row[0] for row in lf._outside_names}
    assert not unknown, "not outside names of the bridge: %s" % sorted(unknown)
    saved = [{n: getattr(m, n) for n in OUTSIDE_NAMES} for m in modules]
    if name == "cheap":
        names = _cheap_names()
    elif name == "host":
        names = {n: getattr(lf, n) for n in OUTSIDE_NAMES}
        Environment.install(universe=["%s.SZ" % c for c in CODES])
    else:
        raise ValueError("unknown world: %r" % (name,))
    try:
        for m in modules:
            for n, v in names.items():
                setattr(m, n, v)
        yield name
    finally:
        if name == "host":
            Environment.reset()
        for m, s in zip(modules, saved):
            for n, v in s.items():
                setattr(m, n, v)


def cheap_world():
    return world("cheap")


def host_world():
    return world("host")


def new_queue(world_name):
    if world_name == "cheap":
        return collections.deque(maxlen=QUEUE_CAPACITY)
    return lf.RB(capacity=QUEUE_CAPACITY, dtype=object)


def _config():
    return types.SimpleNamespace(base=types.SimpleNamespace(accounts={"stock": "acct_simtd"}, trading_calendar=[]))


def _bridge(module=lf):
    return module.VornStrategy(_config())


# -- cases --------------------------------------------------------------------------------------

SIDES = ("native", "twin", "plain", "floor")


@dataclasses.dataclass
class Case:
    """One callback case in one world and record shape: a loop `fn(n)` of n calls per side, and
    `setup()` to run before every batch (fresh queues, histories and maps)."""
    name: str
    world: str
    shape: str
    loops: dict                          # side -> fn(n)
    setup: Callable[[], None]
    queues: Callable[[], dict] = None    # side -> the event queue it fills (for the checks)
    records: list = None                 # the terminal records the bridge's loop feeds, in order


class _State:
    """Per side: a fresh event queue, and the module state a batch starts from."""

    def __init__(self, world_name, prepare=None):
        self.world = world_name
        self.prepare = prepare
        self.q = {}
        self.floor_q = None

    def __call__(self):
        for side, module in zip(SIDES, _modules()):
            q = new_queue(self.world)
            self.q[side] = q
            module.event_queue = q
            module.history_bar.clear()
            module.history_tick.clear()
            module.orders_dict.clear()
        self.q["floor"] = new_queue(self.world)
        if self.prepare:
            self.prepare()


def _floor_loop(steps_fn):
    """The floor side: `steps_fn()` gives the (callable, args, kwargs) of one call's outside
    calls (built before the clock starts, against the batch's fresh queue), replayed n times."""
    def floor(n):
        steps = steps_fn()
        keep = []
        return replay(steps, n, keep)
    return floor


def replay(steps, n, keep):
    """Seconds of n replays of `steps`, from C when the bench extension is there; every result
    is kept alive in `keep` (as the bridge's events stay on the queue)."""
    from .harness import _clock
    ext = _replayer()
    if ext is not None:
        flat = tuple((fn, tuple(args) + tuple(kw.values()), tuple(kw) if kw else None) for fn, args, kw in steps)
        t0 = _clock()
        ext.replay(flat, n, keep)
        return _clock() - t0
    loop = _python_replay(steps)
    t0 = _clock()
    loop(n, keep.append)
    return _clock() - t0


def _python_replay(steps):
    """A loop of n straight-line calls of the steps, each written out with its own arguments (as
    a hand-written floor would be), every result kept."""
    env, lines = {}, []
    for i, (fn, args, kw) in enumerate(steps):
        env["f%d" % i] = fn
        parts = []
        for j, a in enumerate(args):
            env["a%d_%d" % (i, j)] = a
            parts.append("a%d_%d" % (i, j))
        for k, v in (kw or {}).items():
            env["k%d_%s" % (i, k)] = v
            parts.append("%s=k%d_%s" % (k, i, k))
        lines.append("        keep(f%d(%s))" % (i, ", ".join(parts)))
    names = sorted(env)
    source = "def loop(n, keep, %s):\n    for _ in range(n):\n%s\n" % (
        ", ".join("%s=%s" % (name, name) for name in names), "\n".join(lines) or "        pass")
    namespace = dict(env)
    exec(source, namespace)
    return namespace["loop"]


def _replayer():
    """The bench extension, unless BENCH_FLOOR=python asks for the Python replay (to compare)."""
    if os.environ.get("BENCH_FLOOR") == "python":
        return None
    return nativeext.load()


def floor_kind():
    if _replayer() is not None:
        return "C replay"
    return "Python loop (charges the interpreter's call overhead to the floor)"


def _callback_loops(method, records_by_side):
    """The native, twin and plain loops calling `method` with each side's records in turn."""
    loops = {}
    for side, module in zip(SIDES[:3], _modules()):
        cb = getattr(_bridge(module), method)
        recs = records_by_side[side]
        if len(recs) == 1:
            rec, = recs

            def loop(n, cb=cb, rec=rec):
                for _ in range(n):
                    cb(rec)
        elif len(recs) == 3:
            r0, r1, r2 = recs

            def loop(n, cb=cb, r0=r0, r1=r1, r2=r2):
                for _ in range(n):
                    cb(r0)
                    cb(r1)
                    cb(r2)
        else:
            raise ValueError("one or three records per call")
        loops[side] = loop
    return loops


def _own_records(recs):
    return {"native": recs, "twin": copy_record(recs), "plain": copy_record(recs)}


def _names():
    """The outside names as the world bound them (read from the bridge's namespace)."""
    return {n: getattr(lf, n) for n in OUTSIDE_NAMES}


def snapshot_case(world_name, shape):
    snap = make_record(world_name, shape, records.Snapshot, security_id="000001", orig_time=STAMP, last_price=10.5,
                       bid_price=[10.4] * 10, bid_volume=[100] * 10, ask_price=[10.6] * 10, ask_volume=[100] * 10)
    state = _State(world_name)
    o = _names()
    dt = o["convert_int_to_datetime"](snap.orig_time / 1000)
    code = "000001." + o["get_exchane_from_vorn_mdtype"](snap.market_type)
    tick = dict.fromkeys(("market_code", "datetime", "open_price", "close_price", "high_price", "low_price",
                          "total_turnover", "volume", "prev_close", "ask_vols", "asks", "bid_vols", "bids",
                          "high_limited", "last_price", "low_limited", "open_interest", "prev_settlement", "iopv",
                          "trading_phase_code"))
    env = o["Environment"].get_instance()
    ins = env.data_proxy.instruments(code)
    tick_obj = o["TickObject"](ins, tick)
    event = o["Event"](o["EVENT"].TICK, calendar_dt=dt, trading_dt=dt, tick=tick_obj)
    hist = collections.deque(maxlen=60)

    def steps():
        return ((o["convert_int_to_datetime"], (snap.orig_time / 1000,), None),
                (o["get_exchane_from_vorn_mdtype"], (snap.market_type,), None),
                (hist.append, (tick,), None),
                (o["Environment"].get_instance, (), None),
                (env.data_proxy.instruments, (code,), None),
                (o["TickObject"], (ins, tick), None),
                (o["Event"], (o["EVENT"].TICK,), dict(calendar_dt=dt, trading_dt=dt, tick=tick_obj)),
                (state.q["floor"].append, (event,), None))
    loops = _callback_loops("on_snapshot", _own_records([snap]))
    loops["floor"] = _floor_loop(lambda: _norm(steps()))
    return Case("on_snapshot", world_name, shape, loops, state, lambda: state.q, [snap])


def _norm(steps):
    return tuple((fn, args, kw or {}) for fn, args, kw in steps)


def tick_order_case(world_name, shape):
    rec = make_record(world_name, shape, records.TickOrder, security_id="000001", order_time=STAMP, biz_index=7,
                      orig_order_no=99, side=ord("1"), order_type=ord("2"), order_price=10.5, order_volume=300)
    state = _State(world_name)
    o = _names()
    stamp, mt = rec.order_time / 1000, rec.market_type
    dt = o["convert_int_to_datetime"](stamp)
    code = "000001." + o["get_exchane_from_vorn_mdtype"](mt)
    side_c, type_c = chr(rec.side), chr(rec.order_type)
    side = o["get_side_from_vorn_l2_order"](side_c, mt)
    otype = o["get_order_type_from_vorn_l2_order"](type_c, mt)
    kind = o["get_l2order_type_from_vorn"](type_c, mt)
    order = o["L2Order"].__from_create__(7, code, dt, side, 10.5, 300, otype, 99, kind)
    event = o["Event"](o["EVENT"].L2_ORDER, calendar_dt=dt, trading_dt=dt, l2_order=order)

    def steps():
        return ((o["convert_int_to_datetime"], (stamp,), None),
                (o["get_exchane_from_vorn_mdtype"], (mt,), None),
                (o["get_side_from_vorn_l2_order"], (side_c, mt), None),
                (o["get_order_type_from_vorn_l2_order"], (type_c, mt), None),
                (o["get_l2order_type_from_vorn"], (type_c, mt), None),
                (o["L2Order"].__from_create__, (7, code, dt, side, 10.5, 300, otype, 99, kind), None),
                (o["Event"], (o["EVENT"].L2_ORDER,), dict(calendar_dt=dt, trading_dt=dt, l2_order=order)),
                (state.q["floor"].append, (event,), None))
    loops = _callback_loops("on_tick_order", _own_records([rec]))
    loops["floor"] = _floor_loop(lambda: _norm(steps()))
    return Case("on_tick_order", world_name, shape, loops, state, lambda: state.q, [rec])


def tick_trade_case(world_name, shape):
    rec = make_record(world_name, shape, records.TickTrade, security_id="000001", trade_time=STAMP, biz_index=8,
                      bid_appl_seq_num=101, offer_appl_seq_num=100, trade_price=10.5, trade_volume=300,
                      value_trade=3150.0, trade_type=ord("F"))
    state = _State(world_name)
    o = _names()
    stamp, mt = rec.trade_time / 1000, rec.market_type
    dt = o["convert_int_to_datetime"](stamp)
    code = "000001." + o["get_exchane_from_vorn_mdtype"](mt)
    type_c = chr(rec.trade_type)
    ttype = o["get_trade_type_from_vorn"](type_c)
    buy = o["SIDE"].BUY
    trade = o["L2Transaction"].__from_create__(8, code, dt, buy, 10.5, 300, 3150.0, ttype, 101, 100)
    event = o["Event"](o["EVENT"].L2_TRANSACTION, calendar_dt=dt, trading_dt=dt, l2_transaction=trade)

    def steps():
        return ((o["convert_int_to_datetime"], (stamp,), None),
                (o["get_exchane_from_vorn_mdtype"], (mt,), None),
                (o["get_trade_type_from_vorn"], (type_c,), None),
                (o["L2Transaction"].__from_create__, (8, code, dt, buy, 10.5, 300, 3150.0, ttype, 101, 100), None),
                (o["Event"], (o["EVENT"].L2_TRANSACTION,), dict(calendar_dt=dt, trading_dt=dt, l2_transaction=trade)),
                (state.q["floor"].append, (event,), None))
    loops = _callback_loops("on_tick_trade", _own_records([rec]))
    loops["floor"] = _floor_loop(lambda: _norm(steps()))
    return Case("on_tick_trade", world_name, shape, loops, state, lambda: state.q, [rec])


def bar_case(world_name, shape):
    """Three bars of one bar time over a universe of three: three history appends, one BAR."""
    bars = [make_record(world_name, shape, records.Bar, security_id=c, end_time=STAMP - 500, open=10.0, close=10.1,
                        high=10.2, low=9.9, volume=1000, amount=10050.0, prev_close=10.0) for c in CODES]
    state = _State(world_name)
    o = _names()
    t, mt = bars[0].end_time / 1000, bars[0].market_type
    env = o["Environment"].get_instance()
    rec = dict.fromkeys(("market_code", "orig_time", "open_price", "close_price", "high_price", "low_price",
                         "total_turnover", "volume", "prev_close"))
    hists = [collections.deque() for _ in CODES]
    whole = o["convert_int_to_whole_date"](int(t))
    event = o["Event"](o["EVENT"].BAR, calendar_dt=whole, trading_dt=whole)

    def steps():
        for h in hists:
            h.clear()
        per_bar = []
        for h in hists:
            per_bar += [(o["get_exchane_from_vorn_mdtype"], (mt,), None),
                        (o["convert_int_to_datetime"], (t,), None),
                        (h.append, (rec,), None),
                        (o["Environment"].get_instance, (), None),
                        (env.get_universe, (), None)]
        return tuple(per_bar) + ((o["convert_int_to_whole_date"], (int(t),), None),
                                 (o["Event"], (o["EVENT"].BAR,), dict(calendar_dt=whole, trading_dt=whole)),
                                 (state.q["floor"].append, (event,), None))
    loops = _callback_loops("on_bar", _own_records(bars))
    loops["floor"] = _floor_loop(lambda: _norm(steps()))
    return Case("on_bar x3", world_name, shape, loops, state, lambda: state.q, bars)


def _framework_order(world_name):
    if world_name == "host":
        from corvane.tessara.const import SIDE
        from corvane.tessara.model.order import Order
        return Order("000001.SZ", 1000, SIDE.BUY, price=10.0)
    return _CheapOrder()


def order_cycle_case(world_name, shape):
    """One order's reports: Sended (confirms it), PartiallyFilled and Filled (a trade each). The
    cycle ends with the order filled, which the next Sended confirms again."""
    reports = []
    for status, trade_qty, last_qty in (("Sended", 0, 0), ("PartiallyFilled", 500, 300), ("Filled", 1000, 500)):
        reports.append(make_record(world_name, shape, records.OrderReport, client_order_id="c1", counter_order_id=555,
                                   security_id="000001", order_price=10.0, order_qty=1000,
                                   order_status=getattr(OrderStatusType, status), trade_qty=trade_qty,
                                   total_trade_value=10.0 * trade_qty, last_match_qty=last_qty, last_match_price=10.0,
                                   frozen_trade_value=10000.0, error_msg=""))
    # Equal orders (the host's carry an id and a creation time), one per side.
    base = _framework_order(world_name)
    orders = {side: copy.deepcopy(base) for side in SIDES}

    def prepare():
        for side, module in zip(SIDES, _modules()):
            module.orders_dict["c1"] = orders[side]
    state = _State(world_name, prepare)
    o = _names()
    log, env = o["system_log"], o["Environment"].get_instance()
    order = orders["floor"]
    kinds, make_trade, deepcopy = o["EVENT"], o["Trade"].__from_create__, o["copy"].deepcopy

    def text(r):
        return ("on_order:" + str(r.client_order_id) + ", symbol: " + str(r.security_id) + ", price:"
                + str(r.order_price) + ", status:" + str(r.order_status) + ", order_qty:" + str(r.order_qty)
                + ", trade_qty:" + str(r.trade_qty) + ", total_trade_value: " + str(r.total_trade_value)
                + ", error_msg:" + str(r.error_msg) + ", last_match_qty: " + str(r.last_match_qty))
    account = env.get_account(order.market_code)
    trade_kw = [dict(order_id=order.order_id, price=10.0, amount=r.last_match_qty, side=order.side,
                     position_effect=order.position_effect, market_code=order.market_code, frozen_price=order.price)
                for r in reports[1:]]
    trades = [make_trade(**kw) for kw in trade_kw]
    copied = deepcopy(order)
    events = [o["Event"](kinds.ORDER_CREATION_PASS, account=account, order=copied)]
    events += [o["Event"](kinds.TRADE, account=account, trade=tr, order=copied) for tr in trades]

    def steps():
        q = state.q["floor"]
        out = [(log.info, (text(reports[0]),), None),
               (o["Environment"].get_instance, (), None),
               (env.get_account, (order.market_code,), None),
               (order.set_frozen_cash, (10000.0,), None),
               (deepcopy, (order,), None),
               (o["Event"], (kinds.ORDER_CREATION_PASS,), dict(account=account, order=copied)),
               (q.append, (events[0],), None)]
        for r, kw, tr, ev in zip(reports[1:], trade_kw, trades, events[1:]):
            out += [(log.info, (text(r),), None),
                    (o["Environment"].get_instance, (), None),
                    (env.get_account, (order.market_code,), None),
                    (make_trade, (), kw),
                    (deepcopy, (order,), None),
                    (o["Event"], (kinds.TRADE,), dict(account=account, trade=tr, order=copied)),
                    (q.append, (ev,), None)]
        return tuple(out)
    loops = _callback_loops("on_order", _own_records(reports))
    loops["floor"] = _floor_loop(lambda: _norm(steps()))
    return Case("order cycle", world_name, shape, loops, state, lambda: state.q, reports)


CALLBACK_CASES = (snapshot_case, tick_trade_case, tick_order_case, bar_case, order_cycle_case)


# -- history readers ----------------------------------------------------------------------------

def reader_cases(world_name):
    """get_current_tick and history_ticks(10) over 60 held ticks, per module. They make no
    outside call: the floor is the same loop calling a C builtin of as many arguments."""
    code = "000001.SZ"
    ticks = [{"i": i} for i in range(60)]

    def setup():
        for module in _modules():
            module.history_tick.clear()
            module.history_tick[code] = collections.deque(ticks, maxlen=60)

    def loops(fn_name, nargs):
        out = {}
        for side, module in zip(SIDES[:3], _modules()):
            fn = getattr(module, fn_name)
            if nargs == 1:
                def loop(n, fn=fn):
                    for _ in range(n):
                        fn(code)
            else:
                def loop(n, fn=fn):
                    for _ in range(n):
                        fn(code, 10)
            out[side] = loop
        if nargs == 1:
            def floor(n, fn=callable):
                for _ in range(n):
                    fn(code)
        else:
            def floor(n, fn=operator.is_):
                for _ in range(n):
                    fn(code, 10)
        out["floor"] = floor
        return out
    return [Case("get_current_tick", world_name, "-", loops("get_current_tick", 1), setup),
            Case("history_ticks(10)", world_name, "-", loops("history_ticks", 2), setup)]


def all_cases(world_name, shapes=SHAPES):
    """The cases of one world (call inside `world(world_name)`); shapes without a record class
    (getset records without the extension) are left out."""
    out = []
    for shape in shapes:
        if record_class(shape, records.Bar) is None:
            continue
        out += [make(world_name, shape) for make in CALLBACK_CASES]
    return out + reader_cases(world_name)


# -- measuring ----------------------------------------------------------------------------------

@dataclasses.dataclass
class Result:
    case: str
    world: str
    shape: str
    rounds: list = dataclasses.field(default_factory=list)   # per round: {side: seconds per call}
    ir: Optional[dict] = None                                  # {side: instructions per call}

    def own(self, side, r):
        return r[side] - r["floor"]

    def ratios(self, against="twin"):
        out = []
        for r in self.rounds:
            ref = self.own(against, r)
            out.append(self.own("native", r) / ref if ref > 0 else float("nan"))
        return out

    def best(self, against="twin"):
        return min(self.ratios(against))

    def total_ratio(self):
        return min(r["native"] / r["twin"] for r in self.rounds)

    def ir_ratio(self, against="twin"):
        if not self.ir:
            return None
        ref = self.ir[against] - self.ir["floor"]
        return (self.ir["native"] - self.ir["floor"]) / ref if ref > 0 else None

    def key(self):
        return "%s/%s/%s" % (self.world, self.shape, self.case)


def time_case(case, settings, rounds=ROUNDS):
    """Seconds per call of each side, `rounds` rounds of alternating batches."""
    sides = [s for s in SIDES if s in case.loops]
    fns = [case.loops[s] for s in sides]
    res = Result(case.name, case.world, case.shape)
    repeats = max(1, settings.repeats // rounds)
    inner = type(settings)(repeats=repeats, budget=settings.budget, smoke=settings.smoke)
    n = min(calibrate(f, settings, case.setup) for f in fns)
    for _ in range(rounds):
        times = per_call(fns, inner, case.setup, n=n)
        res.rounds.append(dict(zip(sides, times)))
    return res


def _fmt(x, digits=2):
    return "-" if x is None or x != x else "{:.{}f}".format(x, digits)


def _mark(value, target):
    if target is None or value is None or value != value:
        return ""
    return " ok" if value <= target else " MISSED"


def table(results):
    """The markdown table of the results: own cost of the bridge over the twin's, in time (best
    of the rounds, and the range) and in instructions, against the plain twin without the
    overwrite check too, and the total time ratio."""
    head = ("world", "shape", "case", "native us", "twin us", "floor us", "own/twin time best (range)",
            "target", "own/no-check twin", "total/twin", "own/twin Ir", "Ir target", "own/no-check Ir",
            "own Ir native / twin")
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for r in results:
        t_target, ir_target = TARGETS.get(r.case, (None, None))
        best = r.best()
        rs = r.ratios()
        first = min(r.rounds, key=lambda x: x["native"])
        ir_r = r.ir_ratio()
        ir_own = ("{:,.0f} / {:,.0f}".format(r.ir["native"] - r.ir["floor"], r.ir["twin"] - r.ir["floor"])
                  if r.ir else "-")
        plain = "-" if "plain" not in first else _fmt(min(r.ratios("plain")))
        lines.append("| " + " | ".join((
            r.world, r.shape, r.case,
            _fmt(first["native"] * 1e6, 3), _fmt(first["twin"] * 1e6, 3), _fmt(first["floor"] * 1e6, 3),
            "{} ({}-{})".format(_fmt(best), _fmt(min(rs)), _fmt(max(rs))),
            ("<= {:g}{}".format(t_target, _mark(best, t_target)) if t_target is not None else ""),
            plain, _fmt(r.total_ratio()),
            _fmt(ir_r), ("<= {:g}{}".format(ir_target, _mark(ir_r, ir_target)) if ir_target is not None else ""),
            _fmt(r.ir_ratio("plain")) if r.ir and "plain" in r.ir else "-", ir_own)) + " |")
    return "\n".join(lines)


def baseline_entry(r):
    entry = {"own_time_ratio": round(r.best(), 4), "total_time_ratio": round(r.total_ratio(), 4),
             "own_ns": round(min(x["native"] - x["floor"] for x in r.rounds) * 1e9, 1)}
    if r.ir:
        entry["own_ir"] = round(r.ir["native"] - r.ir["floor"], 1)
    return entry


def compare_baseline(results, path=BASELINE):
    """Lines naming each host-world result slower than the stored baseline beyond noise."""
    if not os.path.exists(path):
        return ["no baseline at %s" % path]
    with open(path) as f:
        base = json.load(f)["results"]
    out = []
    for r in results:
        if r.world != "host" or r.key() not in base:
            continue
        b, now = base[r.key()], baseline_entry(r)
        if "total_time_ratio" in b and now["total_time_ratio"] > b["total_time_ratio"] * (1 + NOISE_TIME):
            out.append("slower than the baseline: %s total time over the twin's %.2f (was %.2f)"
                       % (r.key(), now["total_time_ratio"], b["total_time_ratio"]))
        if "own_ir" in now and "own_ir" in b and now["own_ir"] > b["own_ir"] * (1 + NOISE_IR[0]) + NOISE_IR[1]:
            out.append("more instructions than the baseline: %s own Ir %.0f (was %.0f)"
                       % (r.key(), now["own_ir"], b["own_ir"]))
    return out


def write_baseline(results, path=BASELINE, meta=None):
    data = {"about": "host-world figures of `python -m bench live`, the 'before' it compares against",
            "meta": meta or {}, "results": {r.key(): baseline_entry(r) for r in results if r.world == "host"}}
    with open(path, "w") as f:
        json.dump(data, f, indent=1, sort_keys=True)
        f.write("\n")


def measure(settings, worlds=WORLDS, shapes=SHAPES, callgrind_counts=True):
    """Times every case of every world and shape; adds callgrind's instruction counts when
    valgrind is there (and `callgrind_counts`)."""
    saved = {m: m.event_queue for m in _modules()}
    results = []
    try:
        for w in worlds:
            with world(w):
                for case in all_cases(w, shapes):
                    results.append(time_case(case, settings))
    finally:
        restore_state(saved)
    if callgrind_counts:
        from . import callgrind
        counts = callgrind.measure_live(
            n=10 if settings.smoke else 40,
            keys=[r.key() for r in results] if not settings.smoke else [results[0].key()])
        if counts:
            for r in results:
                r.ir = counts.get(r.key())
    return results


def restore_state(saved):
    for m, q in saved.items():
        m.event_queue = q
        m.orders_dict.clear()
        m.history_tick.clear()
        m.history_bar.clear()


def notes():
    ext = nativeext.load()
    lines = ["floor: " + floor_kind()]
    if ext is None:
        lines.append("getset records skipped: " + nativeext.why_not())
    return lines


def run(report):
    results = measure(report.settings)
    for r in results:
        t_target, _ = TARGETS.get(r.case, (None, None))
        first = min(r.rounds, key=lambda x: x["native"])
        report.add(Row("live/%s/%s" % (r.world, r.shape), r.case, first["native"], first["floor"], r.best(),
                       "own/twin own", t_target if r.world == "cheap" else None,
                       "Ir ratio " + _fmt(r.ir_ratio())))
    text = [table(results)] + notes()
    if not report.settings.smoke:
        text += compare_baseline(results)
    report.notes = getattr(report, "notes", []) + text
    report.live_results = results
