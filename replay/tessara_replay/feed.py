"""The market of one trading day, as the simulated terminal plays it.

For each instrument of the replay the day bar and the one-minute bars of the
day come from the dataset. From them the feed derives, per minute, what the
terminal delivers: one snapshot at the bar's end time, the bar itself, and
level-2 records inside the minute (two orders, and one transaction per
non-empty half of the minute's volume).

`market_feed` gives the whole day as a time-ordered sequence of `FeedItem`s
(time, terminal callback name, record); the terminal plays any such sequence,
so a feed read back from a recording plugs in the same way.
"""
import datetime as _dt
import itertools as _itertools
from dataclasses import dataclass
from typing import Any, NamedTuple

import numpy as np

from pyvorn.enums import MarketType
from pyvorn.records import Bar, Snapshot, TickOrder, TickTrade, stamp_from_datetime

# Exchange suffix of a market code -> the terminal's market type.
MARKET_TYPES = {"SH": MarketType.SSE, "SZ": MarketType.SZSE}
# Level-2 letters per market: (buy side, sell side, limit order type).
_L2_CODES = {MarketType.SZSE: ("1", "2", "2"), MarketType.SSE: ("B", "S", "A")}
BOOK_LEVELS = 5


L2_LEAD = _dt.timedelta(seconds=30)    # level-2 records of a minute arrive mid-minute


class FeedItem(NamedTuple):
    """One market-data callback of the terminal: at `time` (a date-time of the replayed
    day) the strategy's method `name` is called with `record`."""
    time: _dt.datetime
    name: str
    record: Any


class FeedError(ValueError):
    """The dataset cannot feed the requested instrument on the requested day."""


def split_code(market_code):
    """(security_id, market type) of a market code such as "600000.SH"."""
    security_id, _, suffix = market_code.partition(".")
    market_type = MARKET_TYPES.get(suffix)
    if not security_id or market_type is None:
        raise FeedError("%s is not traded on the stock exchanges the terminal serves"
                        % market_code)
    return security_id, market_type


@dataclass
class InstrumentDay:
    """One instrument's bars of the replayed day, as plain arrays."""
    market_code: str
    security_id: str
    market_type: MarketType
    tick_size: float
    round_lot: int
    prev_close: float
    limit_up: float
    limit_down: float
    times: list          # bar end times (datetime), oldest first
    open: np.ndarray
    close: np.ndarray
    high: np.ndarray
    low: np.ndarray
    volume: np.ndarray
    turnover: np.ndarray
    kind: str = "stock"  # the instrument's type: its settlement rule and fees follow it

    def __len__(self):
        return len(self.times)

    def index_of(self, when):
        """Position of the bar ending at `when`, or None."""
        return self._pos.get(when)

    def __post_init__(self):
        self._pos = {t: i for i, t in enumerate(self.times)}
        self._cum_volume = np.cumsum(self.volume)
        self._cum_turnover = np.cumsum(self.turnover)
        self._run_high = np.maximum.accumulate(self.high)
        self._run_low = np.minimum.accumulate(self.low)
        # the five-level book of each minute's snapshot, for all minutes at once
        steps = np.arange(1, BOOK_LEVELS + 1)
        ticks = np.rint(self.close / self.tick_size)[:, None]
        self._bids = np.round((ticks - steps) * self.tick_size, 6).tolist()
        self._asks = np.round((ticks + steps) * self.tick_size, 6).tolist()
        lots = np.maximum(1, self.volume // self.round_lot // 10).astype(np.int64)[:, None]
        self._depth = (lots * self.round_lot * steps).tolist()


def load_instrument_day(dataset, market_code, day):
    """The day's bars of one instrument; FeedError when it did not trade."""
    security_id, market_type = split_code(market_code)
    profile = dataset.profile(market_code)
    if profile is None:
        raise FeedError("no such instrument: %s" % market_code)
    bars = dataset.day_bars(market_code)
    minutes = dataset.minute_bars(market_code, day)
    if bars is None or minutes is None or len(minutes) == 0 or day not in bars.index:
        raise FeedError("%s did not trade on %s (not listed or suspended)"
                        % (market_code, day.date()))
    day_bar = bars.loc[day]
    return InstrumentDay(
        market_code=market_code, security_id=security_id, market_type=market_type,
        tick_size=float(profile["tick_size"]), round_lot=int(profile["round_lot"]),
        prev_close=float(day_bar["prev_close"]), limit_up=float(day_bar["limit_up"]),
        limit_down=float(day_bar["limit_down"]),
        times=[t.to_pydatetime() for t in minutes.index],
        open=minutes["open"].to_numpy(float), close=minutes["close"].to_numpy(float),
        high=minutes["high"].to_numpy(float), low=minutes["low"].to_numpy(float),
        volume=minutes["volume"].to_numpy(float),
        turnover=minutes["total_turnover"].to_numpy(float), kind=str(profile["type"]))


def _price(x, tick):
    return round(round(x / tick) * tick, 6)


def snapshot(ins, i):
    """Snapshot at the end of minute `i`: cumulative day figures and a five-level book
    around the last price."""
    last = float(ins.close[i])
    return Snapshot(
        security_id=ins.security_id, market_type=ins.market_type,
        orig_time=stamp_from_datetime(ins.times[i]), trading_phase_code="T0",
        pre_close_price=ins.prev_close, open_price=float(ins.open[0]),
        high_price=float(ins._run_high[i]), low_price=float(ins._run_low[i]),
        last_price=last, close_price=last,
        high_limited=ins.limit_up, low_limited=ins.limit_down,
        total_volume_trade=int(ins._cum_volume[i]),
        total_value_trade=float(ins._cum_turnover[i]),
        bid_price=ins._bids[i], ask_price=ins._asks[i],
        bid_volume=ins._depth[i], ask_volume=list(ins._depth[i]))


def bar(ins, i):
    start = ins.times[i] - _dt.timedelta(minutes=1)
    prev = ins.prev_close if i == 0 else float(ins.close[i - 1])
    return Bar(security_id=ins.security_id, market_type=ins.market_type, period="1m",
               start_time=stamp_from_datetime(start), end_time=stamp_from_datetime(ins.times[i]),
               open=float(ins.open[i]), close=float(ins.close[i]), high=float(ins.high[i]),
               low=float(ins.low[i]), volume=int(ins.volume[i]), amount=float(ins.turnover[i]),
               prev_close=prev)


def trade_volumes(volume, round_lot):
    """The minute's volume split into two halves of whole lots, empty halves dropped."""
    lots = int(volume // round_lot)
    first = (lots + 1) // 2 * round_lot
    return [v for v in (first, int(volume) - first) if v > 0]


def level2_records(ins, i, seq):
    """Level-2 orders and transactions inside minute `i`. `seq` is the instrument's
    running sequence counter (an itertools.count). Returns (orders, trades)."""
    if ins.volume[i] <= 0:
        return [], []
    buy, sell, limit = _L2_CODES[ins.market_type]
    start = ins.times[i] - _dt.timedelta(minutes=1)
    tick = ins.tick_size
    orders = []
    for k, (side, price) in enumerate(((buy, ins.low[i]), (sell, ins.high[i]))):
        n = next(seq)
        orders.append(TickOrder(
            security_id=ins.security_id, market_type=ins.market_type,
            order_time=stamp_from_datetime(start + _dt.timedelta(seconds=10 + 10 * k)),
            channel_no=1, biz_index=n, orig_order_no=n, side=ord(side), order_type=ord(limit),
            order_price=_price(price, tick), order_volume=ins.round_lot))
    trades = []
    prices = (float(ins.open[i]), float(ins.close[i]))
    for k, vol in enumerate(trade_volumes(ins.volume[i], ins.round_lot)):
        n, price = next(seq), prices[k]
        bid_seq, offer_seq = (n, n - 1) if k == 0 else (n - 1, n)
        trades.append(TickTrade(
            security_id=ins.security_id, market_type=ins.market_type,
            trade_time=stamp_from_datetime(start + _dt.timedelta(seconds=30 + 20 * k)),
            channel_no=1, biz_index=n, bid_appl_seq_num=bid_seq, offer_appl_seq_num=offer_seq,
            trade_price=price, trade_volume=vol, value_trade=round(price * vol, 2),
            trade_type=ord("F")))
    return orders, trades


def market_feed(instruments, level2=True):
    """The day's market-data callbacks of `instruments` in delivery order: for each bar end
    time, the level-2 records of the minute half a minute earlier (unless `level2` is
    false), then at the end time every instrument's snapshot, then every bar."""
    seqs = {ins.market_code: _itertools.count(1) for ins in instruments}
    times = sorted({t for ins in instruments for t in ins.times})
    for t in times:
        present = [(ins, ins.index_of(t)) for ins in instruments]
        present = [(ins, i) for ins, i in present if i is not None]
        if level2:
            for ins, i in present:
                orders, trades = level2_records(ins, i, seqs[ins.market_code])
                for record in orders:
                    yield FeedItem(t - L2_LEAD, "on_tick_order", record)
                for record in trades:
                    yield FeedItem(t - L2_LEAD, "on_tick_trade", record)
        for ins, i in present:
            yield FeedItem(t, "on_snapshot", snapshot(ins, i))
        for ins, i in present:
            yield FeedItem(t, "on_bar", bar(ins, i))
