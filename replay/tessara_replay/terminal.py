"""Simulated terminal session: plays one trading day into a terminal strategy.

Everything happens on the simulated clock (`SimClock`): the terminal's timer
service, the market-data deliveries, the answers to logins and queries, and
the reports of orders and algorithmic orders, each at its simulated time.
After every callback into the strategy the terminal hands control to the
framework side (`after_callback`), which drains the bridge's event queue.

Orders are checked against the account (`Account`: available cash, sellable holdings,
settlement and fees) before they are sent; a refused order is reported rejected with the
reason. Order matching is deliberately simple: an accepted order trades against the
one-minute bars that end after it was accepted, at most a tenth of each
bar's volume per bar; a limit buy trades when the bar's low reaches its
price (at the better of its price and the bar's open), a limit sell
likewise at the high, and a market order at the bar's close.
"""
import itertools
from collections import Counter
from dataclasses import dataclass

from corvane.harness import terminal_scheduler
from pyvorn.enums import AlgoControlType, AlgoStatusType, AlgoType, OrderStatusType, SideType
from pyvorn.records import (
    AlgoLoginRes,
    ChildOrder,
    ChildTrade,
    ControlParentOrderRes,
    CreateParentOrderRes,
    LoginRes,
    OrderActionError,
    OrderReport,
    ParentOrder,
    QueryAssetRes,
    QueryPositionRes,
    TradeReport,
    datetime_from_stamp,
    stamp_from_datetime,
)

from . import feed as _feed
from .account import START_CASH, Account
from .clock import NS_PER_MINUTE
from .prices import price_text

MS = 1_000_000
PARTICIPATION = 0.1
LOGIN_TIME_NS = (8 * 60 + 30) * NS_PER_MINUTE
REJECT_PRICE, REJECT_QUANTITY, REJECT_INSTRUMENT, REJECT_ACCOUNT = 20, 21, 22, 23
START_LOTS = 10                 # the account holds 10 lots of each of the first two instruments
CANCEL_NOT_LIVE = 30
CONTROL_NOT_RUNNING = 31

_LIVE = (OrderStatusType.UnSend, OrderStatusType.Sended, OrderStatusType.PartiallyFilled)


class TimerService:
    """The terminal's timer service on the simulated clock: runs each callback once
    after its delay, then lets the framework side drain the queue."""

    def __init__(self, terminal):
        self._terminal = terminal

    def schedule(self, delay_ns, callback):
        return self._terminal.clock.scheduler.schedule(
            delay_ns, lambda: self._terminal.fire(callback))


@dataclass
class SimOrder:
    client_order_id: object
    counter_order_id: int
    ins: _feed.InstrumentDay
    side: SideType
    price: object           # None for a market order
    qty: int
    accepted_ns: int
    traded: int = 0
    value: float = 0.0
    status: OrderStatusType = OrderStatusType.UnSend

    @property
    def remaining(self):
        return self.qty - self.traded


@dataclass
class SimParent:
    sys_quote_id: int
    client_seq_id: int
    ins: _feed.InstrumentDay
    side: SideType
    qty: int
    slices: int
    every_ns: int
    next_ns: int
    start_ns: int
    end_ns: int
    done: int = 0
    traded: int = 0
    value: float = 0.0
    status: AlgoStatusType = AlgoStatusType.Created


class SimTerminal:
    def __init__(self, clock, config, instruments, after_callback=lambda: None):
        self.clock = clock
        self.config = config
        self.instruments = {ins.market_code: ins for ins in instruments}
        self.after_callback = after_callback
        self.strategy = None
        self.callbacks = 0
        self.sent = Counter()           # callbacks by method name
        self.orders = {}                # client order id -> SimOrder
        self.parents = {}               # sys_quote_id -> SimParent
        self._counter_ids = itertools.count(880001)
        self._quote_ids = itertools.count(7001)
        self._by_security = {(ins.security_id, ins.market_type): ins for ins in instruments}
        self.account = Account(START_CASH, {
            ins.market_code: (START_LOTS * ins.round_lot, ins.prev_close)
            for ins in list(self.instruments.values())[:2]})

    # strategy and timers ---------------------------------------------------------------
    def make_strategy(self, factory):
        """Construct the strategy with this terminal's timer service in its context."""
        with terminal_scheduler(lambda: TimerService(self)):
            self.strategy = factory()
        return self.strategy

    def fire(self, callback):
        """A timer of the strategy fires."""
        self.callbacks += 1
        self.sent["timer"] += 1
        callback()
        self.after_callback()

    def _call(self, name, *args):
        self.callbacks += 1
        self.sent[name] += 1
        getattr(self.strategy, name)(*args)
        self.after_callback()

    def at(self, t_ns, fn):
        self.clock.scheduler.schedule(max(0, t_ns - self.clock.now_ns), fn)

    def later(self, delay_ns, fn):
        self.clock.scheduler.schedule(delay_ns, fn)

    # the session -------------------------------------------------------------------------
    def start(self, feed):
        """Start-up at the current simulated time, then the day: logins, and every item of
        `feed` (FeedItems in time order) delivered at its time. Returns the number of
        items scheduled."""
        self._call("initialize", self.config)
        self._call("on_initialize")
        self.at(LOGIN_TIME_NS, self._logins)
        n = 0
        # one timer per delivery time; its items go out in feed order
        for when, items in itertools.groupby(feed, key=lambda item: item.time):
            batch = list(items)
            self.at(self.clock.ns_of(when), lambda batch=batch: self._deliver_all(batch))
            n += len(batch)
        return n

    def _deliver_all(self, batch):
        for item in batch:
            self.deliver(item)

    def deliver(self, item):
        """One market-data callback; after a bar, the orders of its instrument meet it."""
        self._call(item.name, item.record)
        if item.name == "on_bar":
            self._bar_closed(item.record)

    def _bar_closed(self, bar):
        ins = self._by_security.get((bar.security_id, bar.market_type))
        if ins is None:
            return
        i = ins.index_of(datetime_from_stamp(bar.end_time))
        if i is None:
            return
        now = self.clock.now_ns
        self._match(ins, i, now)
        for parent in list(self.parents.values()):
            if parent.ins is ins:
                self._algo_step(parent, i, now)

    def _logins(self):
        base = self.config.base
        for seq, account in enumerate(base.accounts.values(), 1):
            self._call("on_login", LoginRes(client_seq_id=seq,
                                            fund_account_id=account.split("_")[0]))
        algo = getattr(base, "algo_account", None)
        if algo:
            self._call("on_algo_login", AlgoLoginRes(client_seq_id=100,
                                                     trader_id=algo.split("_")[0]))

    # account queries ---------------------------------------------------------------------
    def query_asset(self, request_id, account_id):
        account = self.account
        value = round(self._holdings_value(), 2)
        cash = account.available_cash()
        res = QueryAssetRes(fund_account_id=account_id, available_t1=cash,
                            frozen_all=account.frozen_cash(), market_value=value,
                            total_asset=round(account.cash + value, 2), leaves_value=cash,
                            init_leaves_value=START_CASH)
        self.later(3 * MS, lambda: self._call("on_query_asset", res, request_id, 0, ""))

    def _holdings_value(self):
        return sum(held.quantity * self._last_price(code)
                   for code, held in self.account.holdings.items())

    def _last_price(self, code):
        """The instrument's last traded price so far today (the previous close before the
        first bar)."""
        ins = self.instruments[code]
        seen = [i for i, t in enumerate(ins.times) if self.clock.ns_of(t) <= self.clock.now_ns]
        return float(ins.close[seen[-1]]) if seen else ins.prev_close

    def query_position(self, request_id):
        positions = []
        for code, held in self.account.holdings.items():
            if held.quantity <= 0:
                continue
            ins, last = self.instruments[code], self._last_price(code)
            positions.append(QueryPositionRes(
                security_id=ins.security_id, market_id=ins.market_type, init_qty=held.quantity,
                leaves_qty=held.quantity, available_qty=self.account.sellable(code),
                cost_price=round(held.cost, 6), last_price=last,
                market_value=round(held.quantity * last, 2)))
        self.later(3 * MS, lambda: self._call("on_query_position", positions, request_id, 0, ""))

    # orders ------------------------------------------------------------------------------
    def insert_order(self, client_order_id, market_code, side, qty, price=None):
        """Accept an order from the order-submission side; reports follow."""
        ins = self.instruments.get(market_code)
        order = SimOrder(client_order_id, 0, ins, side, price, int(qty), self.clock.now_ns)
        self.orders[client_order_id] = order
        problem = self._check(order, market_code) or self._commit(order)
        if problem:
            code, msg = problem
            order.status = OrderStatusType.Reject
            self.later(2 * MS, lambda: self._report(order, error_code=code, error_msg=msg))
            return
        self.later(1 * MS, lambda: self._report(order))            # UnSend, no counter id yet

        def sent():
            order.counter_order_id = next(self._counter_ids)
            order.status = OrderStatusType.Sended
            self._report(order)
        self.later(3 * MS, sent)

    def _check(self, order, market_code):
        ins = order.ins
        if ins is None:
            return REJECT_INSTRUMENT, "instrument %s not tradable" % market_code
        if order.qty <= 0 or (order.side is SideType.Buy and order.qty % ins.round_lot):
            return REJECT_QUANTITY, "quantity %d is not a multiple of %d" % (order.qty, ins.round_lot)
        if order.price is not None and not ins.limit_down <= order.price <= ins.limit_up:
            tick = ins.tick_size
            return REJECT_PRICE, "price %s outside the day's limits %s to %s" % (
                price_text(order.price, tick), price_text(ins.limit_down, tick),
                price_text(ins.limit_up, tick))
        return None

    def _commit(self, order):
        """Hold back the order's cash or shares; (code, reason) when the account cannot."""
        ins = order.ins
        is_buy = order.side is SideType.Buy
        price = order.price if order.price is not None else (ins.limit_up if is_buy else ins.limit_down)
        refusal = self.account.commit(order.client_order_id, ins.market_code, ins.kind, is_buy,
                                      order.qty, price)
        return None if refusal is None else (REJECT_ACCOUNT, refusal)

    def cancel_order(self, client_order_id):
        order = self.orders.get(client_order_id)
        if order is None or order.status not in _LIVE:
            self.later(2 * MS, lambda: self._call("on_order_action_error", OrderActionError(
                client_order_id=client_order_id, error_code=CANCEL_NOT_LIVE,
                error_msg="order is not open")))
            return
        order.status = (OrderStatusType.PartiallyFilledWaitCancelled if order.traded
                        else OrderStatusType.WaitCancelled)

        def pending():
            self._report(order)

        def done():
            order.status = (OrderStatusType.PartiallyFilledPartiallyCancelled if order.traded
                            else OrderStatusType.Cancelled)
            self.account.release(order.client_order_id)
            self._report(order)
        self.later(2 * MS, pending)
        self.later(4 * MS, done)

    def _frozen(self, order):
        if order.side is not SideType.Buy or order.status not in _LIVE:
            return 0.0
        return self.account.frozen_of(order.client_order_id)

    def _report(self, order, last_qty=0, last_price=0.0, error_code=0, error_msg=""):
        ins = order.ins
        self._call("on_order", OrderReport(
            client_order_id=order.client_order_id, counter_order_id=order.counter_order_id,
            security_id=ins.security_id if ins else "", market_type=ins.market_type if ins else 0,
            side=order.side, order_price=order.price or 0.0, order_qty=order.qty,
            order_status=order.status, trade_qty=order.traded,
            total_trade_value=round(order.value, 2), last_match_qty=last_qty,
            last_match_price=last_price, frozen_trade_value=self._frozen(order),
            error_code=error_code, error_msg=error_msg))

    def _fill_price(self, order, ins, i):
        if order.price is None:
            return float(ins.close[i])
        if order.side is SideType.Buy and ins.low[i] <= order.price:
            return min(order.price, float(ins.open[i]))
        if order.side is SideType.Sell and ins.high[i] >= order.price:
            return max(order.price, float(ins.open[i]))
        return None

    def _match(self, ins, i, now):
        cap = int(ins.volume[i] * PARTICIPATION) // ins.round_lot * ins.round_lot
        for order in self.orders.values():
            if (order.ins is not ins or order.accepted_ns >= now or cap <= 0
                    or order.status not in (OrderStatusType.Sended, OrderStatusType.PartiallyFilled)):
                continue
            price = self._fill_price(order, ins, i)
            if price is None:
                continue
            qty = min(order.remaining, cap)
            cap -= qty
            self.account.fill(order.client_order_id, qty, price)
            order.traded += qty
            order.value += qty * price
            order.status = (OrderStatusType.Filled if order.remaining == 0
                            else OrderStatusType.PartiallyFilled)
            self.later(5 * MS, lambda o=order, q=qty, p=price, s=order.status:
                       self._fill_report(o, q, p, s))

    def _fill_report(self, order, qty, price, status):
        current = order.status
        order.status = status
        self._report(order, last_qty=qty, last_price=price)
        order.status = current
        self._call("on_trade", TradeReport(
            client_order_id=order.client_order_id, counter_order_id=order.counter_order_id,
            security_id=order.ins.security_id, market_type=order.ins.market_type,
            side=order.side, last_match_price=price, last_match_qty=qty,
            trade_time=stamp_from_datetime(self.clock.now())))

    # algorithmic orders --------------------------------------------------------------------
    def create_algo_parent_order(self, client_seq_id, market_code, side, qty, start, end,
                                 slices):
        """A parent order worked in `slices` child orders between `start` and `end`
        (date-times); returns the parent's id."""
        ins = self.instruments[market_code]
        sid = next(self._quote_ids)
        start_ns, end_ns = self.clock.ns_of(start), self.clock.ns_of(end)
        every = max(NS_PER_MINUTE, (end_ns - start_ns) // slices)
        parent = SimParent(sid, client_seq_id, ins, side, int(qty), slices, every,
                           max(start_ns, self.clock.now_ns), start_ns, end_ns)
        is_buy = side is SideType.Buy
        # the children trade at bar closes: a buy holds back cash at the upper limit
        refusal = self.account.commit(("algo", sid), market_code, ins.kind, is_buy, int(qty),
                                      ins.limit_up if is_buy else ins.limit_down)
        reply = CreateParentOrderRes(client_seq_id=client_seq_id, sys_quote_id=sid,
                                     error_code=0 if refusal is None else REJECT_ACCOUNT,
                                     error_msg=refusal or "")
        self.later(3 * MS, lambda: self._call("on_create_algo_parent_order_res", reply))
        if refusal is not None:
            return sid

        def running():
            parent.status = AlgoStatusType.Running
            self.parents[sid] = parent
            self._parent_update(parent)
        self.later(4 * MS, running)
        return sid

    def control_algo_parent_order(self, sys_quote_id, control_type):
        parent = self.parents.get(sys_quote_id)
        if parent is None:          # refused at creation, or never created: say so
            reply = ControlParentOrderRes(sys_quote_id=sys_quote_id, control_type=control_type,
                                          error_code=CONTROL_NOT_RUNNING,
                                          error_msg="parent order %s is not running" % sys_quote_id)
            self.later(2 * MS, lambda: self._call("on_control_algo_parent_order_res", reply))
            return
        reply = ControlParentOrderRes(client_seq_id=parent.client_seq_id,
                                      sys_quote_id=sys_quote_id, control_type=control_type)

        def answer():
            self._call("on_control_algo_parent_order_res", reply)
            if parent.status in (AlgoStatusType.Running, AlgoStatusType.Paused):
                parent.status = (AlgoStatusType.Paused if control_type is AlgoControlType.Pause
                                 else AlgoStatusType.Running)
                self._parent_update(parent)
        self.later(2 * MS, answer)

    def _parent_update(self, parent):
        ins = parent.ins
        self._call("on_algo_parent_order_update", ParentOrder(
            sys_quote_id=parent.sys_quote_id, client_seq_id=parent.client_seq_id,
            security_id=ins.security_id, market_type=ins.market_type, side=parent.side,
            algo_type=AlgoType.ATX, order_qty=parent.qty, trade_qty=parent.traded,
            trade_value=round(parent.value, 2), status=parent.status,
            start_time=stamp_from_datetime(self.clock.at_ns(parent.start_ns)),
            end_time=stamp_from_datetime(self.clock.at_ns(parent.end_ns))))

    def _algo_step(self, parent, i, now):
        if parent.status is not AlgoStatusType.Running or now < parent.next_ns:
            return
        ins = parent.ins
        left = parent.slices - parent.done
        qty = parent.qty - parent.traded if left == 1 else \
            parent.qty // parent.slices // ins.round_lot * ins.round_lot
        price = float(ins.close[i])
        if qty > 0:
            self.account.fill(("algo", parent.sys_quote_id), qty, price)
        parent.done += 1
        parent.traded += qty
        parent.value += qty * price
        parent.next_ns = now + parent.every_ns
        child_id = "%d-%d" % (parent.sys_quote_id, parent.done)
        counter = next(self._counter_ids)
        if parent.done == parent.slices:
            parent.status = AlgoStatusType.Finished

        def child(status, traded):
            return ChildOrder(sys_quote_id=parent.sys_quote_id, client_order_id=child_id,
                              counter_order_id=counter, security_id=ins.security_id,
                              market_type=ins.market_type, side=parent.side, order_price=price,
                              order_qty=qty, trade_qty=traded, total_trade_value=round(traded * price, 2),
                              order_status=status)

        def sent():
            self._call("on_algo_child_order_update", child(OrderStatusType.Sended, 0))

        def filled():
            self._call("on_algo_child_order_update", child(OrderStatusType.Filled, qty))
            self._call("on_algo_child_order_trade", ChildTrade(
                sys_quote_id=parent.sys_quote_id, client_order_id=child_id,
                exec_id="X%d" % counter, security_id=ins.security_id,
                market_type=ins.market_type, side=parent.side, trade_price=price,
                trade_qty=qty, trade_time=stamp_from_datetime(self.clock.now())))
            self._parent_update(parent)
        self.later(6 * MS, sent)
        self.later(9 * MS, filled)
