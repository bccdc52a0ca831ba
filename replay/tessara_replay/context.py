"""What a strategy of the replay sees: the `ReplayContext` it is constructed with, and the
events it is handed.

A strategy is a class; the replay makes one instance with `Class(ctx)` and then calls the
methods it defines (all optional), each with the framework event:

    before_trading(event)     09:00, before the session (event.trading_dt)
    open_auction(event)       09:24
    on_tick(event)            each snapshot (event.tick: TickObject)
    on_bar(event)             each one-minute bar end (event.trading_dt); the bars of all
                              instruments for that minute are in by then
    on_l2_order(event)        level-2 orders (event.l2_order) and transactions
    on_l2_transaction(event)  (event.l2_transaction); none in fast mode
    on_order(event)           any change of an order's state (event.order, a copy)
    on_trade(event)           a fill (event.trade: price, amount, side; event.order)
    on_algo_order(event)      reports of algorithmic parent and child orders
    on_algo_trade(event)      a fill of an algorithmic child order (event.algo_child_trade)
    after_trading(event)      15:30

What raises in a strategy method ends the replay with a one-line error naming the method.
"""
import os
import sys

from corvane.harness import data_client_call_total
from corvane.tessara.const import SIDE
from corvane.tessara.core.events import EVENT

ORDER_EVENTS = (EVENT.ORDER_CREATION_PASS, EVENT.ORDER_PENDING_CANCEL,
                EVENT.ORDER_CANCELLATION_PASS, EVENT.ORDER_CANCELLATION_REJECT,
                EVENT.ORDER_UNSOLICITED_UPDATE)
ALGO_EVENTS = (EVENT.PARENT_ORDER_CREATE, EVENT.PARENT_ORDER_CANCEL, EVENT.PARENT_ORDER_PAUSE,
               EVENT.PARENT_ORDER_RESUME, EVENT.PARENT_ORDER_UPDATE, EVENT.CHILD_ORDER_UPDATE)
HANDLERS = {
    EVENT.BEFORE_TRADING: "before_trading", EVENT.OPEN_AUCTION: "open_auction",
    EVENT.TICK: "on_tick", EVENT.BAR: "on_bar",
    EVENT.L2_ORDER: "on_l2_order", EVENT.L2_TRANSACTION: "on_l2_transaction",
    EVENT.TRADE: "on_trade", EVENT.CHILD_ORDER_TRADE: "on_algo_trade",
    EVENT.AFTER_TRADING: "after_trading",
    **{kind: "on_order" for kind in ORDER_EVENTS},
    **{kind: "on_algo_order" for kind in ALGO_EVENTS},
}


class StrategyError(Exception):
    """A strategy method raised; `where` names the method and the failing line."""

    def __init__(self, where, exc):
        super().__init__("%s raised %s: %s" % (where, type(exc).__name__, exc))
        self.where = where
        self.original = exc


class ReplayContext:
    """The replay as one strategy sees it.

    codes            the replay's instruments (market codes), in order
    day              the replayed day (datetime.date)
    now()            the simulated time (datetime.datetime)
    instrument(code) the framework instrument (tick_size, round_lot, listed_date, ...)
    account, positions   the account answers after login (Asset, list of Position)

    history(code, count, frequency="1d", fields=None, dt=None, **kwargs)
        bars from the historical data source (`OstraDataDataSource.history_bars`: a numpy
        structured array, or one field's values, or None); `dt` defaults to the previous
        trading day, so nothing of the replayed day leaks in; frequency "1d", "1m", "5m", ...
    current_bar(code), current_tick(code)
        the live bridge's latest one-minute bar (dict) and snapshot (TickObject), or None
    recent_bars(code, count=0), recent_ticks(code, count=0)
        the bridge's bars / snapshots of the day so far, oldest first (0: all held)

    buy(code, quantity, price=None), sell(code, quantity, price=None)
        place a limit order (market order when `price` is None); returns the order id.
        Quantities of buys are whole lots; prices must lie within the day's limits, or the
        exchange rejects the order (an on_order event with status REJECTED)
    cancel(order_id)  ask to cancel; on_order reports the outcome
    order(order_id)   the framework Order, kept up to date (status, filled_quantity,
                      avg_price, unfilled_quantity)
    algo_order(code, quantity, side, start, end, slices) -> parent id;
    pause_algo(parent_id), resume_algo(parent_id)

    `bridge` (the live bridge module) and `data_source` are there for anything else.
    """

    def __init__(self, codes, day, clock, env, data_source, bridge, desk):
        self.codes = list(codes)
        self.day = day
        self.env = env
        self.data_source = data_source
        self.bridge = bridge
        self.account = None
        self.positions = []
        self.history_queries = 0
        self.cache_hits = 0
        self._clock = clock
        self._desk = desk
        self._previous_day = None

    # time and reference data -------------------------------------------------------------
    def now(self):
        return self._clock.now()

    def instrument(self, code):
        return self.env.get_instrument(code)

    @property
    def previous_trading_day(self):
        if self._previous_day is None:
            self._previous_day = self.data_source.get_previous_trading_date(self._clock.midnight)
        return self._previous_day

    # history ---------------------------------------------------------------------------------
    def history(self, code, count, frequency="1d", fields=None, dt=None, **kwargs):
        """Bars from the data source up to `dt`; counts the queries the caches answered."""
        before = data_client_call_total()
        result = self.data_source.history_bars(
            self.instrument(code), count, frequency, fields,
            self.previous_trading_day if dt is None else dt, **kwargs)
        self.history_queries += 1
        if data_client_call_total() == before:
            self.cache_hits += 1
        return result

    # the bridge's day so far --------------------------------------------------------------------
    def current_bar(self, code):
        return self.bridge.get_current_bar(code)

    def current_tick(self, code):
        return self.bridge.get_current_tick(code)

    def recent_bars(self, code, count=0):
        return self.bridge.history_bars(code, count)

    def recent_ticks(self, code, count=0):
        return self.bridge.history_ticks(code, count)

    # orders ------------------------------------------------------------------------------------
    def buy(self, code, quantity, price=None):
        return self._desk.submit(code, quantity, SIDE.BUY, price)

    def sell(self, code, quantity, price=None):
        return self._desk.submit(code, quantity, SIDE.SELL, price)

    def cancel(self, order_id):
        self._desk.cancel(order_id)

    def order(self, order_id):
        return self._desk.orders[order_id]

    def algo_order(self, code, quantity, side, start, end, slices):
        return self._desk.algo(code, quantity, side, start, end, slices)

    def pause_algo(self, parent_id):
        from pyvorn.enums import AlgoControlType
        self._desk.control_algo(parent_id, AlgoControlType.Pause)

    def resume_algo(self, parent_id):
        from pyvorn.enums import AlgoControlType
        self._desk.control_algo(parent_id, AlgoControlType.Resume)


def attach(strategy, bus, label):
    """Register the strategy's methods for the events they handle. Returns the names of
    the methods found."""
    found = []
    for kind, name in HANDLERS.items():
        method = getattr(strategy, name, None)
        if callable(method):
            bus.add_listener(kind, _guarded(method, "%s.%s" % (label, name), type(strategy)))
            if name not in found:
                found.append(name)
    return found


def _guarded(method, where, strategy_class):
    def listener(event):
        try:
            method(event)
        except StrategyError:
            raise
        except Exception as exc:
            raise StrategyError(located(where, exc, strategy_class), exc) from exc
    return listener


def located(where, exc, strategy_class):
    """`where` with the file and line of the deepest frame of `exc` in the file that
    defines `strategy_class`."""
    source = getattr(sys.modules.get(strategy_class.__module__), "__file__", None)
    line = None
    tb = exc.__traceback__
    while tb is not None:
        if source is not None and tb.tb_frame.f_code.co_filename == source:
            line = tb.tb_lineno
        tb = tb.tb_next
    if line is None:
        return where
    return "%s (%s:%d)" % (where, os.path.basename(source), line)
