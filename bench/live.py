"""Live callbacks and history accessors: cost per call against the floor of the outside calls
each callback must make, run once with minimal stand-ins (so the bridge's own cost shows) and
once with the framework's and the terminal's real host stand-ins.

The floor of a callback replays, in a plain Python loop with the same arguments, only the work
the bridge cannot avoid: the framework conversions and lookups, the constructors, the log call,
`deepcopy` where an event must carry a copy, the history append and the event_queue append.
Reading the terminal record's attributes, building the record dict and the bar-count arithmetic
are the bridge's own cost."""
import collections
import contextlib
import dataclasses
import itertools
import types

import corvane.tessara.utils.livefeed as lf
from corvane.tessara.environment import Environment
from pyvorn import records
from pyvorn.enums import MarketType, OrderStatusType

from . import twins
from .harness import Row, own_cost_row, per_call

QUEUE_CAPACITY = 1000000
TARGET_HOST = 0.20          # own cost at most 20% of the floor with the host stand-ins
TARGET_REFERENCE = 0.5      # own cost at most half the plain-Python twin's own cost
STAMP = 20261208093000500   # 2026-12-08 09:30:00.500
CODES = ("000001", "000002", "000004")


# -- worlds: the names the bridge reads from its namespace ------------------------------------

class _CheapPosition:
    __slots__ = ("market_code", "direction", "init_qty", "state")

    def __init__(self, market_code, direction, init_qty):
        self.market_code = market_code
        self.direction = direction
        self.init_qty = init_qty

    def set_state(self, state):
        self.state = state


def _ident(x):
    return x


def _kw(*args, **kwargs):
    return kwargs


def _args(*args):
    return args


@contextlib.contextmanager
def cheap_world():
    """Minimal stand-ins in the livefeed namespace: C builtins where one fits, one-line
    functions elsewhere. Records use plain integers for market types and statuses."""
    instrument = types.SimpleNamespace(market_code="000001.SZ")
    universe = ["%s.SZ" % c for c in CODES]
    env = types.SimpleNamespace(
        data_proxy=types.SimpleNamespace(instruments={u: instrument for u in universe}.__getitem__),
        get_universe=itertools.repeat(universe).__next__,
        get_account=dict.fromkeys(universe, "account").__getitem__)
    suffix = {MarketType.SZSE.value: "SZ", MarketType.SSE.value: "SH"}.__getitem__
    kinds = types.SimpleNamespace(**{e.name: e.name for e in lf.EVENT})
    stand_ins = {
        "convert_int_to_datetime": float,
        "convert_int_to_whole_date": float,
        "get_exchane_from_vorn_mdtype": suffix,
        "get_side_from_vorn_l2_order": _args,
        "get_order_type_from_vorn_l2_order": _args,
        "get_l2order_type_from_vorn": _args,
        "get_trade_type_from_vorn": str,
        "Environment": types.SimpleNamespace(get_instance=itertools.repeat(env).__next__),
        "TickObject": slice,
        "L2Order": types.SimpleNamespace(__from_create__=_args),
        "L2Transaction": types.SimpleNamespace(__from_create__=_args),
        "Event": _kw,
        "EVENT": kinds,
        "SIDE": types.SimpleNamespace(BUY="BUY", SELL="SELL"),
        "ORDER_STATUS": types.SimpleNamespace(ACTIVE=1, PARTIALLY_FILLED=2, FILLED=3, CANCELLED=4, PENDING_NEW=0),
        "OrderStatusType": types.SimpleNamespace(**{m.name: m.value for m in OrderStatusType}),
        "POSITION_DIRECTION": types.SimpleNamespace(LONG="LONG"),
        "Position": _CheapPosition,
        "Trade": types.SimpleNamespace(__from_create__=_kw),
        "copy": types.SimpleNamespace(deepcopy=_ident),
        "system_log": types.SimpleNamespace(info=len, warning=len, debug=len),
    }
    # every stand-in replaces one of the bridge's outside names
    unknown = set(stand_ins) - {row[0] for row in lf._outside_names}
    assert not unknown, "not outside names of the bridge: %s" % sorted(unknown)
    saved = {n: getattr(lf, n) for n in stand_ins}
    try:
        for n, v in stand_ins.items():
            setattr(lf, n, v)
        yield "cheap"
    finally:
        for n, v in saved.items():
            setattr(lf, n, v)


@contextlib.contextmanager
def host_world():
    """The host stand-ins as the module bound them, with a current environment."""
    Environment.install(universe=["%s.SZ" % c for c in CODES])
    try:
        yield "host"
    finally:
        Environment.reset()


def _new_queue(mode):
    if mode == "cheap":
        return collections.deque(maxlen=QUEUE_CAPACITY)
    return lf.RB(capacity=QUEUE_CAPACITY, dtype=object)


def _record(mode, cls, **fields):
    """A terminal record: the terminal's own class with the host, a bare namespace (plain
    integer codes) with the cheap stand-ins."""
    if mode == "host":
        return cls(**fields)
    plain = {k: (v.value if hasattr(v, "value") else v) for k, v in fields.items()}
    template = cls()
    for k, v in vars(template).items():
        plain.setdefault(k, v.value if hasattr(v, "value") else v)
    return types.SimpleNamespace(**plain)


def _bridge():
    config = types.SimpleNamespace(base=types.SimpleNamespace(accounts={"stock": "acct_simtd"},
                                                              trading_calendar=[]))
    return lf.VornStrategy(config)


class _Queue:
    """Gives each timed batch a fresh, empty event_queue (and empty histories), so no batch
    meets a full ring; the floor appends to the same queue object."""

    def __init__(self, mode):
        self.mode = mode
        self.q = None

    def __call__(self):
        self.q = _new_queue(self.mode)
        lf.event_queue = self.q
        twin().event_queue = self.q
        lf.history_bar.clear()
        twin().history_bar.clear()


def _own_copy(record):
    """A record of the same class and fields for the reference: the bridge's reads may turn a
    record's inline attribute values into a dict object, which would slow the interpreter's
    own attribute reads of that same object."""
    if isinstance(record, list):
        return [_own_copy(r) for r in record]
    if dataclasses.is_dataclass(record):
        return type(record)(**{f.name: getattr(record, f.name) for f in dataclasses.fields(record)})
    if isinstance(record, types.SimpleNamespace):
        return types.SimpleNamespace(**vars(record))
    return record


# The bridge's outside names (its own table) and the order and algorithmic maps, which the
# reference takes from the bridge's namespace; its histories, event queue and overwrite counter
# stay its own.
SHARED_NAMES = tuple(row[0] for row in lf._outside_names) + (
    "orders_dict", "algo_parent_id", "algo_parent_orders", "algo_child_orders", "algo_child_trades",
)
_twin = []


def twin():
    """The plain-Python twin of the bridge, loaded once as a private module."""
    if not _twin:
        _twin.append(twins.load("livefeed"))
    return _twin[0]


def _reference_bridge():
    """A bridge of the twin over the names the bridge has now (bound when the case is made,
    after the world swapped its stand-ins in)."""
    module = twin()
    for name in SHARED_NAMES:
        setattr(module, name, getattr(lf, name))
    config = types.SimpleNamespace(base=types.SimpleNamespace(accounts={"stock": "acct_simtd"},
                                                              trading_calendar=[]))
    return module.VornStrategy(config)


def _reference_loop(method, *args):
    """A loop of n calls of the twin's `method`, with records of its own."""
    cb = getattr(_reference_bridge(), method)
    args = tuple(_own_copy(a) for a in args)

    if len(args) == 1:
        arg, = args

        def loop(n):
            for _ in range(n):
                cb(arg)
    else:
        def loop(n):
            for _ in range(n):
                cb(*args)
    return loop


# -- cases --------------------------------------------------------------------------------------

def snapshot_case(mode):
    snap = _record(mode, records.Snapshot, security_id="000001", orig_time=STAMP, last_price=10.5,
                   bid_price=[10.4] * 10, bid_volume=[100] * 10, ask_price=[10.6] * 10, ask_volume=[100] * 10)
    bridge = _bridge()
    queue = _Queue(mode)
    conv, exch = lf.convert_int_to_datetime, lf.get_exchane_from_vorn_mdtype
    Env, Tick, Event, EVENT = lf.Environment, lf.TickObject, lf.Event, lf.EVENT
    stamp, mt = snap.orig_time / 1000, snap.market_type
    code = "000001." + exch(mt)
    rec = {k: None for k in ("market_code", "datetime", "open_price", "close_price", "high_price", "low_price",
                             "total_turnover", "volume", "prev_close", "ask_vols", "asks", "bid_vols", "bids",
                             "high_limited", "last_price", "low_limited", "open_interest", "prev_settlement",
                             "iopv", "trading_phase_code")}
    hist = collections.deque(maxlen=60)

    def total(n):
        cb = bridge.on_snapshot
        for _ in range(n):
            cb(snap)

    def floor(n):
        q = queue.q
        for _ in range(n):
            dt = conv(stamp)
            exch(mt)
            hist.append(rec)
            ins = Env.get_instance().data_proxy.instruments(code)
            q.append(Event(EVENT.TICK, calendar_dt=dt, trading_dt=dt, tick=Tick(ins, rec)))

    return "on_snapshot", total, floor, queue, _reference_loop("on_snapshot", snap)


def bar_case(mode):
    bars = [_record(mode, records.Bar, security_id=c, end_time=STAMP - 500, open=10.0, close=10.1, high=10.2,
                    low=9.9, volume=1000, amount=10050.0, prev_close=10.0) for c in CODES]
    bridge = _bridge()
    queue = _Queue(mode)
    conv, whole, exch = lf.convert_int_to_datetime, lf.convert_int_to_whole_date, lf.get_exchane_from_vorn_mdtype
    Env, Event, EVENT = lf.Environment, lf.Event, lf.EVENT
    t, mt = bars[0].end_time / 1000, bars[0].market_type
    rec = dict.fromkeys(("market_code", "orig_time", "open_price", "close_price", "high_price", "low_price",
                         "total_turnover", "volume", "prev_close"))
    hists = [collections.deque() for _ in CODES]
    b0, b1, b2 = bars

    def total(n):
        cb = bridge.on_bar
        for _ in range(n):
            cb(b0)
            cb(b1)
            cb(b2)

    def floor(n):
        q = queue.q
        for _ in range(n):
            for h in hists:
                exch(mt)
                conv(t)
                h.append(rec)
                len(Env.get_instance().get_universe())
            c = whole(int(t))
            q.append(Event(EVENT.BAR, calendar_dt=c, trading_dt=c))

    def setup():
        queue()
        for h in hists:
            h.clear()

    rcb = _reference_bridge().on_bar
    r0, r1, r2 = (_own_copy(b) for b in bars)

    def ref(n):
        for _ in range(n):
            rcb(r0)
            rcb(r1)
            rcb(r2)

    return "on_bar x3 (universe 3, one BAR)", total, floor, setup, ref


def tick_order_case(mode):
    rec = _record(mode, records.TickOrder, security_id="000001", order_time=STAMP, biz_index=7, orig_order_no=99,
                  side=ord("1"), order_type=ord("2"), order_price=10.5, order_volume=300)
    bridge = _bridge()
    queue = _Queue(mode)
    conv, exch = lf.convert_int_to_datetime, lf.get_exchane_from_vorn_mdtype
    gside, gtype, gkind = (lf.get_side_from_vorn_l2_order, lf.get_order_type_from_vorn_l2_order,
                           lf.get_l2order_type_from_vorn)
    L2Order, Event, EVENT = lf.L2Order, lf.Event, lf.EVENT
    stamp, mt = rec.order_time / 1000, rec.market_type
    code = "000001." + exch(mt)
    side_c, type_c = chr(rec.side), chr(rec.order_type)

    def total(n):
        cb = bridge.on_tick_order
        for _ in range(n):
            cb(rec)

    def floor(n):
        q = queue.q
        for _ in range(n):
            dt = conv(stamp)
            exch(mt)
            o = L2Order.__from_create__(7, code, dt, gside(side_c, mt), 10.5, 300, gtype(type_c, mt), 99,
                                        gkind(type_c, mt))
            q.append(Event(EVENT.L2_ORDER, calendar_dt=dt, trading_dt=dt, l2_order=o))

    return "on_tick_order", total, floor, queue, _reference_loop("on_tick_order", rec)


def tick_trade_case(mode):
    rec = _record(mode, records.TickTrade, security_id="000001", trade_time=STAMP, biz_index=8,
                  bid_appl_seq_num=101, offer_appl_seq_num=100, trade_price=10.5, trade_volume=300,
                  value_trade=3150.0, trade_type=ord("F"))
    bridge = _bridge()
    queue = _Queue(mode)
    conv, exch, gtt = lf.convert_int_to_datetime, lf.get_exchane_from_vorn_mdtype, lf.get_trade_type_from_vorn
    L2Transaction, Event, EVENT, SIDE = lf.L2Transaction, lf.Event, lf.EVENT, lf.SIDE
    stamp, mt = rec.trade_time / 1000, rec.market_type
    code = "000001." + exch(mt)
    type_c = chr(rec.trade_type)

    def total(n):
        cb = bridge.on_tick_trade
        for _ in range(n):
            cb(rec)

    def floor(n):
        q = queue.q
        for _ in range(n):
            dt = conv(stamp)
            exch(mt)
            o = L2Transaction.__from_create__(8, code, dt, SIDE.BUY, 10.5, 300, 3150.0, gtt(type_c), 101, 100)
            q.append(Event(EVENT.L2_TRANSACTION, calendar_dt=dt, trading_dt=dt, l2_transaction=o))

    return "on_tick_trade", total, floor, queue, _reference_loop("on_tick_trade", rec)


def _framework_order(mode):
    if mode == "host":
        from corvane.tessara.const import SIDE
        from corvane.tessara.model.order import Order
        return Order("000001.SZ", 1000, SIDE.BUY, price=10.0)
    order = types.SimpleNamespace(order_id=1, secondary_order_id=None, market_code="000001.SZ", side="BUY",
                                  position_effect="OPEN", price=10.0, status=0, avg_price=0.0,
                                  filled_quantity=0, unfilled_quantity=1000)
    order.set_frozen_cash = abs
    order.mark_rejected = len
    return order


def order_case(mode, status_name):
    status = getattr(OrderStatusType, status_name)
    filled = status_name != "Sended"
    rep = _record(mode, records.OrderReport, client_order_id="c1", counter_order_id=555, security_id="000001",
                  order_price=10.0, order_qty=1000, order_status=status, trade_qty=500 if filled else 0,
                  total_trade_value=5000.0 if filled else 0.0, last_match_qty=300 if filled else 0,
                  last_match_price=10.0, frozen_trade_value=10000.0, error_msg="")
    bridge = _bridge()
    queue = _Queue(mode)
    order = _framework_order(mode)
    log, Env, Event, kinds = lf.system_log, lf.Environment, lf.Event, lf.EVENT
    deepcopy, make_trade, ORDER_STATUS = lf.copy.deepcopy, lf.Trade.__from_create__, lf.ORDER_STATUS
    text = ("on_order:" + str(rep.client_order_id) + ", symbol: " + str(rep.security_id) + ", price:"
            + str(rep.order_price) + ", status:" + str(rep.order_status) + ", order_qty:" + str(rep.order_qty)
            + ", trade_qty:" + str(rep.trade_qty) + ", total_trade_value: " + str(rep.total_trade_value)
            + ", error_msg:" + str(rep.error_msg) + ", last_match_qty: " + str(rep.last_match_qty))
    pending = ORDER_STATUS.PENDING_NEW
    OST = lf.OrderStatusType
    reported = rep.order_status

    def status_row():
        # The report's status compared with the table's members in order, as the bridge must.
        for name in ("UnSend", "Sended", "PartiallyFilled", "Filled"):
            if reported == getattr(OST, name):
                return name
    new_status = ORDER_STATUS.FILLED if status_name == "Filled" else ORDER_STATUS.PARTIALLY_FILLED

    def setup():
        queue()
        lf.orders_dict.clear()
        lf.orders_dict["c1"] = order

    # A Sended report confirms the order once; each timed call starts from an unconfirmed order.
    if not filled:
        def total(n):
            cb = bridge.on_order
            for _ in range(n):
                order.status = pending
                cb(rep)

        def floor(n):
            q = queue.q
            for _ in range(n):
                order.status = pending
                log.info(text)
                account = Env.get_instance().get_account(order.market_code)
                status_row()
                order.secondary_order_id = 555
                order.set_frozen_cash(10000.0)
                order.status = ORDER_STATUS.ACTIVE
                q.append(Event(kinds.ORDER_CREATION_PASS, account=account, order=deepcopy(order)))
        rcb = _reference_bridge().on_order
        own_rep = _own_copy(rep)

        def ref(n):
            for _ in range(n):
                order.status = pending
                rcb(own_rep)
        return "on_order Sended (confirms)", total, floor, setup, ref

    def total(n):
        cb = bridge.on_order
        for _ in range(n):
            cb(rep)

    def floor(n):
        q = queue.q
        for _ in range(n):
            log.info(text)
            account = Env.get_instance().get_account(order.market_code)
            status_row()
            trade = make_trade(order_id=order.order_id, price=10.0, amount=300, side=order.side,
                               position_effect=order.position_effect, market_code=order.market_code,
                               frozen_price=order.price)
            order.avg_price = 10.0
            order.filled_quantity = 500
            order.unfilled_quantity = 500
            order.status = new_status
            q.append(Event(kinds.TRADE, account=account, trade=trade, order=deepcopy(order)))
    return "on_order %s (fill)" % status_name, total, floor, setup, _reference_loop("on_order", rep)


def query_position_case(mode, count=50):
    ids = ["%06d" % (600000 + i) for i in range(count)]
    res = [_record(mode, records.QueryPositionRes, security_id=s, market_id=MarketType.SSE, init_qty=1000,
                   leaves_qty=1000, available_qty=800, cost_price=10.0, last_price=10.5, market_value=10500.0,
                   profit_loss=500.0) for s in ids]
    bridge = _bridge()
    queue = _Queue(mode)
    log, exch, Position, DIRECTION = lf.system_log, lf.get_exchane_from_vorn_mdtype, lf.Position, lf.POSITION_DIRECTION
    Event, EVENT = lf.Event, lf.EVENT
    mt = res[0].market_id
    codes = [s + "." + exch(mt) for s in ids]
    state = dict(quantity=1000, available_qty=800, avg_price=10.0, last_price=10.5, market_value=10500.0,
                 daily_pnl=500.0)
    text = "on_query_position: code:0, msg:"

    def total(n):
        cb = bridge.on_query_position
        for _ in range(n):
            cb(res, 7, 0, "")

    def floor(n):
        q = queue.q
        for _ in range(n):
            log.info(text)
            positions = []
            LONG = DIRECTION.LONG
            for c in codes:
                exch(mt)
                p = Position(c, LONG, 1000)
                p.set_state(dict(state))
                positions.append(p)
            q.append(Event(EVENT.QUERY_POSITION, rid=7, positions=positions))

    return "on_query_position (%d)" % count, total, floor, queue, _reference_loop(
        "on_query_position", res, 7, 0, "")


def algo_updates_case(mode):
    """One parent-order update, one child-order update and one child trade of a known parent."""
    pid = 9001
    parent = _record(mode, records.ParentOrder, sys_quote_id=pid, client_seq_id=3, security_id="000001",
                     order_qty=1000, trade_qty=300, trade_value=3000.0)
    child = _record(mode, records.ChildOrder, sys_quote_id=pid, client_order_id="k1", counter_order_id=77,
                    security_id="000001", order_price=10.0, order_qty=300, trade_qty=300, total_trade_value=3000.0)
    fill = _record(mode, records.ChildTrade, sys_quote_id=pid, client_order_id="k1", exec_id="e1",
                   security_id="000001", trade_price=10.0, trade_qty=300, trade_time=STAMP)
    bridge = _bridge()
    queue = _Queue(mode)
    ids, parents, children, trades = lf.algo_parent_id, lf.algo_parent_orders, lf.algo_child_orders, lf.algo_child_trades
    P, C, T, Event, EVENT, deepcopy = (lf.AlgoParentOrder, lf.AlgoChildOrder, lf.AlgoChildTrade, lf.Event, lf.EVENT,
                                       lf.copy.deepcopy)

    def setup():
        queue()
        ids[:] = [pid]
        parents.clear()
        children.clear()
        trades.clear()

    def total(n):
        p, c, t = bridge.on_algo_parent_order_update, bridge.on_algo_child_order_update, bridge.on_algo_child_order_trade
        for _ in range(n):
            p(parent)
            c(child)
            t(fill)

    def floor(n):
        q = queue.q
        for _ in range(n):
            pid in ids
            latest = P.from_vorn(parent, parents.get(pid) if pid in parents else None)
            parents[pid] = latest
            q.append(Event(EVENT.PARENT_ORDER_UPDATE, algo_parent_order=deepcopy(latest)))
            pid in ids
            latest = C.from_vorn(child, children.get(pid) if pid in children else None)
            children[pid] = latest
            q.append(Event(EVENT.CHILD_ORDER_UPDATE, algo_child_order=deepcopy(latest)))
            pid in ids
            latest = T.from_vorn(fill, trades.get(pid) if pid in trades else None)
            trades[pid] = latest
            q.append(Event(EVENT.CHILD_ORDER_TRADE, algo_child_trade=deepcopy(latest)))

    strategy = _reference_bridge()
    rparent, rchild, rfill = _own_copy(parent), _own_copy(child), _own_copy(fill)

    def ref(n):
        p, c, t = (strategy.on_algo_parent_order_update, strategy.on_algo_child_order_update,
                   strategy.on_algo_child_order_trade)
        for _ in range(n):
            p(rparent)
            c(rchild)
            t(rfill)

    return "algo updates x3 (parent, child, trade)", total, floor, setup, ref


CASES = (snapshot_case, bar_case, tick_order_case, tick_trade_case,
         lambda m: order_case(m, "Sended"), lambda m: order_case(m, "PartiallyFilled"),
         lambda m: order_case(m, "Filled"), query_position_case, algo_updates_case)


def reference_row(mode, name, total, floor, ref, settings, setup):
    """Own cost (total - floor) of the bridge over the reference's own cost, the three timed in
    alternation."""
    native, plain, base = per_call([total, ref, floor], settings, setup)
    own, ref_own = native - base, plain - base
    return Row("live/" + mode + "/ref", name, native, plain, own / ref_own if ref_own > 0 else None,
               "own/ref own", TARGET_REFERENCE, "floor {:.2f} us".format(base * 1e6))


def accessor_rows(report):
    """The four readers against the container operations they stand for."""
    code = "000001.SZ"
    lf.history_tick.clear()
    lf.history_bar.clear()
    lf.history_tick[code] = collections.deque(({"i": i} for i in range(60)), maxlen=60)
    lf.history_bar[code] = collections.deque({"i": i} for i in range(240))
    ht, hb = lf.history_tick, lf.history_bar
    cases = (
        ("get_current_tick", lambda: lf.get_current_tick, lambda: ht[code][-1]),
        ("get_current_bar", lambda: lf.get_current_bar, lambda: hb[code][-1]),
    )
    for name, get_fn, _ in cases:
        fn = get_fn()
        d = ht if "tick" in name else hb

        def total(n, fn=fn):
            for _ in range(n):
                fn(code)

        def floor(n, d=d):
            for _ in range(n):
                d[code][-1]
        report.add(own_cost_row("accessors", name, total, floor, report.settings))
    for name, fn, d, count in (("history_ticks(60 held, 10)", lf.history_ticks, ht, 10),
                               ("history_bars(240 held, 10)", lf.history_bars, hb, 10),
                               ("history_bars(240 held, 240)", lf.history_bars, hb, 240)):
        def total(n, fn=fn, count=count):
            for _ in range(n):
                fn(code, count)

        def floor(n, d=d, count=count):
            for _ in range(n):
                list(d[code])[count * -1:]
        report.check(fn(code, count) == list(d[code])[-count:], name + ": result differs")
        report.add(own_cost_row("accessors", name, total, floor, report.settings))
    report.check(lf.get_current_tick("nope") is None, "get_current_tick of an unknown code is not None")
    lf.history_tick.clear()
    lf.history_bar.clear()


def run(report):
    saved_queue = lf.event_queue
    try:
        for world, target in ((cheap_world, None), (host_world, TARGET_HOST)):
            with world() as mode:
                for make in CASES:
                    name, total, floor, setup, ref = make(mode)
                    row = own_cost_row("live/" + mode, name, total, floor, report.settings,
                                       target=target, setup=setup)
                    report.add(row)
                if mode == "host":
                    for make in CASES:
                        name, total, floor, setup, ref = make(mode)
                        report.add(reference_row(mode, name, total, floor, ref, report.settings, setup))
        accessor_rows(report)
    finally:
        lf.event_queue = saved_queue
        lf.orders_dict.clear()
        del lf.algo_parent_id[:]
        for m in (lf.algo_parent_orders, lf.algo_child_orders, lf.algo_child_trades):
            m.clear()
        lf.history_tick.clear()
        lf.history_bar.clear()
