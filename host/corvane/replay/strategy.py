"""The demo strategy of the replay, on the framework side.

It listens on the event bus, warms up from the historical data source, reads the
day's bars and ticks through the live bridge's accessors, checks index
constituents, and works a fixed plan of orders that between them end in every
final state the terminal reports: filled, partly filled then cancelled,
cancelled, rejected, a cancel refused for a filled order, and one algorithmic
order that is paused and resumed on the way.
"""
import datetime as _dt
from collections import Counter

import numpy as np

from corvane.tessara.const import SIDE
from corvane.tessara.core.events import EVENT
from corvane.tessara.utils.trade_func import get_exchane_from_vorn_mdtype
from pyvorn.enums import AlgoControlType

WARMUP_DAYS = 20
WARMUP_MINUTES = 480
CHART_DAYS = 40
INDEXES = ("000001.SH", "000300.SH")


def _hm(dt):
    return dt.hour * 100 + dt.minute


class DemoStrategy:
    def __init__(self, env, data_source, bridge, desk, terminal, clock, codes, data_calls):
        self.env = env
        self.ds = data_source
        self.bridge = bridge
        self.desk = desk
        self.terminal = terminal
        self.clock = clock
        self.codes = list(codes)
        self.data_calls = data_calls        # () -> number of remote data-client calls so far
        self.day = clock.midnight
        self.prev_day = None
        self.history_queries = 0
        self.cache_hits = 0
        self.warmup = {}                    # code -> (20-day mean close, last minute close)
        self.constituents = {}              # index code -> universe codes in it
        self.weights = {}                   # index code -> {code: weight}
        self.fills = []                     # (time, code, side name, price, amount)
        self.asset = None
        self.positions = []
        self.checks = Counter()             # accessor checks passed / failed
        self.parent_id = None
        self.chart_day_bars = None
        self.chart_minute_bars = None
        self._orders = {}                   # plan name -> client order id
        self._queried = False
        a, b, c = (self.codes[k % len(self.codes)] for k in range(3))
        self._plan = {
            940: [lambda: self._buy_limit("fill", a, 0.0, volume_share=0.25),
                  lambda: self._buy_limit("cancel", b, -0.03, lots=10)],
            945: [lambda: self._buy_limit("reject", a, None, lots=10)],
            1000: [lambda: self._start_algo(a)],
            1008: [lambda: self.desk.control_algo(self.parent_id, AlgoControlType.Pause)],
            1015: [lambda: self.desk.control_algo(self.parent_id, AlgoControlType.Resume)],
            1030: [lambda: self._sell_market("sell", a, 5)],
            1045: [lambda: self.desk.cancel(self._orders["sell"])],
            1100: [lambda: self.desk.cancel(self._orders["cancel"])],
            1305: [lambda: self._buy_limit("partial", c, 0.002, volume_share=20)],
            1400: [lambda: self._history_again()],
            1430: [lambda: self.desk.cancel(self._orders["partial"])],
        }
        bus = env.event_bus
        for kind, handler in ((EVENT.LOGIN, self.on_login), (EVENT.QUERY_ACCOUNT, self.on_asset),
                              (EVENT.QUERY_POSITION, self.on_positions),
                              (EVENT.BEFORE_TRADING, self.before_trading),
                              (EVENT.OPEN_AUCTION, self.open_auction), (EVENT.BAR, self.on_bar),
                              (EVENT.TRADE, self.on_trade),
                              (EVENT.CHILD_ORDER_TRADE, self.on_child_trade),
                              (EVENT.AFTER_TRADING, self.after_trading)):
            bus.add_listener(kind, handler)

    # history through the data source, counting what the caches answered -----------------
    def history(self, code, count, frequency, fields, dt, **kwargs):
        before = self.data_calls()
        result = self.ds.history_bars(self.env.get_instrument(code), count, frequency, fields,
                                      dt, **kwargs)
        self.history_queries += 1
        if self.data_calls() == before:
            self.cache_hits += 1
        return result

    # account -------------------------------------------------------------------------------
    def on_login(self, event):
        if event.code == 0 and not self._queried:
            self._queried = True
            self.terminal.query_asset(1, event.account_id)
            self.terminal.query_position(2)

    def on_asset(self, event):
        self.asset = getattr(event, "asset", None)

    def on_positions(self, event):
        self.positions = list(event.positions)

    # day events ----------------------------------------------------------------------------
    def before_trading(self, event):
        self.prev_day = self.ds.get_previous_trading_date(self.day)
        for code in self.codes:
            closes = self.history(code, WARMUP_DAYS, "1d", "close", self.prev_day)
            minutes = self.history(code, WARMUP_MINUTES, "1m", "close", self.prev_day)
            mean = float(np.mean(closes)) if closes is not None and len(closes) else float("nan")
            last = float(minutes[-1]) if minutes is not None and len(minutes) else float("nan")
            self.warmup[code] = (mean, last)

    def open_auction(self, event):
        from corvane.tessara.datac.services import index
        day = self.day.date()
        for index_code in INDEXES:
            table = index.index_components(index_code, day)
            members = set() if table is None else set(table["market_code"])
            self.constituents[index_code] = sorted(members & set(self.codes))
            weights = index.index_weights(index_code, day)
            if weights is not None:
                self.weights[index_code] = dict(zip(weights["market_code"], weights["weight"]))

    def on_bar(self, event):
        bridge = self.bridge
        for code in self.codes:
            bar = bridge.get_current_bar(code)
            tick = bridge.get_current_tick(code)
            recent = bridge.history_bars(code, 5)
            ok = (bar is not None and tick is not None and recent and recent[-1] is bar
                  and bar["orig_time"] == tick["datetime"] == event.trading_dt
                  and bar["close_price"] == tick["last_price"])
            self.checks["passed" if ok else "failed"] += 1
        for action in self._plan.get(_hm(event.trading_dt), ()):
            action()

    def on_trade(self, event):
        trade = event.trade
        self.fills.append((self.clock.now(), trade.market_code, trade.side.name, trade.price,
                           trade.amount))

    def on_child_trade(self, event):
        trade = event.algo_child_trade
        code = trade.security_id + "." + get_exchane_from_vorn_mdtype(trade.market_type)
        self.fills.append((self.clock.now(), code, "ALGO_" + trade.side.name.upper(),
                           trade.price, trade.quantity))

    def after_trading(self, event):
        code = self.codes[0]
        self.chart_day_bars = self.history(code, CHART_DAYS, "1d", None, self.day,
                                           skip_suspended=False, adjust_type="none")
        self.chart_minute_bars = self.bridge.history_bars(code, 0)

    # the order plan ------------------------------------------------------------------------
    def _last(self, code):
        return self.bridge.get_current_tick(code)

    def _buy_limit(self, name, code, offset, lots=None, volume_share=None):
        """A limit buy `offset` (a fraction) away from the last price (None: above the upper
        limit, which the exchange refuses), of `lots` lots or of `volume_share` times the last
        bar's volume. The terminal lets an order take a tenth of each bar's volume, so a
        share above 0.1 fills over several bars."""
        tick = self._last(code)
        ins = self.terminal.instruments[code]
        if offset is None:
            price = round(tick["high_limited"] + 10 * ins.tick_size, 6)
        else:
            price = round(round(tick["last_price"] * (1 + offset) / ins.tick_size) * ins.tick_size, 6)
        if lots is None:
            bar = self.bridge.get_current_bar(code)
            lots = max(2, int(bar["volume"] * volume_share // ins.round_lot))
        cid, _ = self.desk.submit(code, lots * ins.round_lot, SIDE.BUY, price)
        self._orders[name] = cid

    def _sell_market(self, name, code, lots):
        ins = self.terminal.instruments[code]
        cid, _ = self.desk.submit(code, lots * ins.round_lot, SIDE.SELL, None)
        self._orders[name] = cid

    def _start_algo(self, code):
        ins = self.terminal.instruments[code]
        start = self.clock.now()
        self.parent_id = self.desk.algo(code, 30 * ins.round_lot, SIDE.BUY, start,
                                        start + _dt.timedelta(minutes=30), 6)

    def _history_again(self):
        """The same warm-up queries again: the caches answer them."""
        for code in self.codes:
            self.history(code, WARMUP_DAYS, "1d", "close", self.prev_day)
            self.history(code, WARMUP_MINUTES, "1m", "close", self.prev_day)
