"""The demo strategy of the replay, written against the same `ReplayContext` a user's
strategy gets.

It warms up from the historical data source, reads the day's bars and ticks through the
live bridge's accessors, checks index constituents, and works a fixed plan of orders that
between them end in the final states the terminal reports: filled, cancelled, rejected,
partly filled then cancelled (when a minute's volume is too small to fill it at once), a
cancel refused for a filled order, and one algorithmic order that is paused and resumed on
the way.

Its sizes fit its account: no buy commits more than BUY_BUDGET of the cash the account
reported at login, and it sells only shares the account held before the day (what it buys
today settles the next trading day).
"""
import datetime as _dt
from collections import Counter

import numpy as np

from corvane.tessara.const import SIDE

WARMUP_DAYS = 20
WARMUP_MINUTES = 480
INDEXES = ("000001.SH", "000300.SH")
BUY_BUDGET = 0.2                        # of the cash at login, the most one buy may commit
FALLBACK_CASH = 1_000_000.0             # before the account's answer has come


def _hm(dt):
    return dt.hour * 100 + dt.minute


class DemoStrategy:
    def __init__(self, ctx):
        self.ctx = ctx
        self.warmup = {}                    # code -> (20-day mean close, last minute close)
        self.constituents = {}              # index code -> universe codes in it
        self.weights = {}                   # index code -> {code: weight}
        self.checks = Counter()             # accessor checks passed / failed
        self.parent_id = None
        self._orders = {}                   # plan name -> order id
        codes = ctx.codes
        a, b, c = (codes[k % len(codes)] for k in range(3))
        self._plan = {
            940: [lambda: self._buy_limit("fill", a, 0.0, volume_share=0.25),
                  lambda: self._buy_limit("cancel", b, -0.03, lots=10)],
            945: [lambda: self._buy_limit("reject", a, None, lots=10)],
            1000: [lambda: self._start_algo(a)],
            1008: [lambda: self.parent_id is not None and ctx.pause_algo(self.parent_id)],
            1015: [lambda: self.parent_id is not None and ctx.resume_algo(self.parent_id)],
            1030: [lambda: self._sell_market("sell", a, 5)],
            1045: [lambda: self._cancel("sell")],
            1100: [lambda: self._cancel("cancel")],
            1305: [lambda: self._buy_limit("partial", c, 0.002, volume_share=2)],
            1307: [lambda: self._cancel("partial")],
            1400: [self._warm_up],          # the same queries again: the caches answer them
        }

    # events ------------------------------------------------------------------------------
    def before_trading(self, event):
        self._warm_up()

    def open_auction(self, event):
        from corvane.tessara.datac.services import index
        day = self.ctx.day
        for index_code in INDEXES:
            table = index.index_components(index_code, day)
            members = set() if table is None else set(table["market_code"])
            self.constituents[index_code] = sorted(members & set(self.ctx.codes))
            weights = index.index_weights(index_code, day)
            if weights is not None:
                self.weights[index_code] = dict(zip(weights["market_code"], weights["weight"]))

    def on_bar(self, event):
        ctx = self.ctx
        for code in ctx.codes:
            bar = ctx.current_bar(code)
            tick = ctx.current_tick(code)
            recent = ctx.recent_bars(code, 5)
            ok = (bar is not None and tick is not None and recent and recent[-1] is bar
                  and bar["orig_time"] == tick["datetime"] == event.trading_dt
                  and bar["close_price"] == tick["last_price"])
            self.checks["passed" if ok else "failed"] += 1
        for action in self._plan.get(_hm(event.trading_dt), ()):
            action()

    # the plan ------------------------------------------------------------------------------
    def _warm_up(self):
        for code in self.ctx.codes:
            closes = self.ctx.history(code, WARMUP_DAYS, "1d", "close")
            minutes = self.ctx.history(code, WARMUP_MINUTES, "1m", "close")
            mean = float(np.mean(closes)) if closes is not None and len(closes) else float("nan")
            last = float(minutes[-1]) if minutes is not None and len(minutes) else float("nan")
            self.warmup[code] = (mean, last)

    def _buy_limit(self, name, code, offset, lots=None, volume_share=None):
        """A limit buy `offset` (a fraction) away from the last price (None: above the upper
        limit, which the exchange refuses), of `lots` lots or of `volume_share` times the last
        bar's volume. The terminal lets an order take a tenth of each bar's volume, so a
        share above 0.1 fills over several bars."""
        ctx = self.ctx
        tick = ctx.current_tick(code)
        if tick is None:                    # no snapshot of it yet today
            return
        ins = ctx.instrument(code)
        step, lot = float(ins.tick_size), int(ins.round_lot)
        if offset is None:
            price = round(tick["high_limited"] + 10 * step, 6)
        else:
            price = round(round(tick["last_price"] * (1 + offset) / step) * step, 6)
        if lots is None:
            lots = max(2, int(ctx.current_bar(code)["volume"] * volume_share // lot))
        lots = max(1, min(lots, self._affordable_lots(price, lot)))
        self._orders[name] = ctx.buy(code, lots * lot, price)

    def _affordable_lots(self, price, lot):
        """Whole lots a buy at `price` may take within BUY_BUDGET of the cash at login (a
        little is left for the fees)."""
        cash = getattr(self.ctx.account, "cash", None) or FALLBACK_CASH
        return int(cash * BUY_BUDGET * 0.99 // (price * lot))

    def _cancel(self, name):
        if name in self._orders:
            self.ctx.cancel(self._orders[name])

    def _sell_market(self, name, code, lots):
        self._orders[name] = self.ctx.sell(code, lots * int(self.ctx.instrument(code).round_lot))

    def _start_algo(self, code):
        if self.ctx.current_bar(code) is None:
            return
        start = self.ctx.now()
        lot = int(self.ctx.instrument(code).round_lot)
        # the children trade at market: the exchange holds back cash at the upper limit
        lots = min(30, self._affordable_lots(self.ctx.current_tick(code)["high_limited"], lot))
        if lots < 1:
            return
        self.parent_id = self.ctx.algo_order(code, lots * lot,
                                             SIDE.BUY, start, start + _dt.timedelta(minutes=30), 6)
