"""The dataset object the data client and the gateway answer from."""
import collections
import datetime

import numpy as np
import pandas as pd

from . import bars as _bars
from .generator import DEFAULT_END, DEFAULT_SEED, DEFAULT_START, generate_tables, rng_for
from .sessions import bar_times

TABLE_NAMES = ["instruments", "day_bars", "suspensions", "st_periods", "dividends", "splits",
               "share_transformations", "commission_margin", "trading_parameters", "yield_curve",
               "index_constituents", "index_weights"]
_MINUTE_CACHE_SIZE = 4096


def as_timestamp(value):
    """A midnight-or-later Timestamp from a date, date-time, Timestamp, date text
    ("2024-01-02", "20240102", "2024-01-02 09:31:00") or integer YYYYMMDD[HHMMSS]."""
    if isinstance(value, (int, np.integer)):
        text = str(int(value))
        return pd.Timestamp(datetime.datetime.strptime(text, "%Y%m%d%H%M%S" if len(text) == 14 else "%Y%m%d"))
    return pd.Timestamp(value)


class Dataset:
    """Tables of a generated (or loaded) dataset, with per-instrument views built on first use.

    One-minute bars are produced on request, per instrument and trading day, from the day
    bar and a seed derived from (seed, code, day), unless the dataset carries stored ones.
    """

    def __init__(self, tables, trading_dates, meta, minute_bars=None):
        self.tables = tables
        self.trading_dates = pd.DatetimeIndex(trading_dates)
        self.meta = dict(meta)
        self.seed = int(meta["seed"])
        self.stored_minute_bars = minute_bars
        self._specs = {row["market_code"]: row for row in tables["instruments"].to_dict("records")}
        self._day_bars = {code: frame.set_index("date").drop(columns="market_code")
                          for code, frame in tables["day_bars"].groupby("market_code", sort=False)}
        self._suspended = {code: pd.DatetimeIndex(frame["date"])
                           for code, frame in tables["suspensions"].groupby("market_code", sort=False)}
        self._minute_cache = collections.OrderedDict()
        self._stored_minutes = None

    @classmethod
    def generate(cls, seed=DEFAULT_SEED, start=DEFAULT_START, end=DEFAULT_END, universe=None):
        tables, trading_dates, meta = generate_tables(seed, start, end, universe)
        return cls(tables, trading_dates, meta)

    def __getattr__(self, name):
        tables = self.__dict__.get("tables")
        if tables is not None and name in tables:
            return tables[name]
        raise AttributeError(name)

    # instruments -------------------------------------------------------------------------
    def spec(self, market_code):
        return self._specs.get(market_code)

    def codes(self):
        return list(self._specs)

    # calendar ----------------------------------------------------------------------------
    def trading_dates_between(self, start, end):
        start, end = as_timestamp(start).normalize(), as_timestamp(end).normalize()
        dates = self.trading_dates
        return dates[dates.searchsorted(start, "left"):dates.searchsorted(end, "right")]

    def previous_trading_date(self, day):
        pos = self.trading_dates.searchsorted(pd.Timestamp(day).normalize(), "left")
        return self.trading_dates[pos - 1] if pos > 0 else None

    # bars --------------------------------------------------------------------------------
    def day_bars(self, market_code):
        """Unadjusted day bars of one instrument indexed by date, with `ex_factor`; None when
        the dataset has none."""
        return self._day_bars.get(market_code)

    def adjust_factors(self, market_code, adjust_type):
        """Per-day price factor for an adjust type ("none", "pre", "post"), indexed by date."""
        bars = self._day_bars.get(market_code)
        if bars is None:
            return None
        cumulative = bars["ex_factor"].cumprod()
        if adjust_type == "post":
            return cumulative
        if adjust_type == "pre":
            return cumulative / cumulative.iloc[-1]
        return pd.Series(1.0, index=bars.index)

    def suspended_days(self, market_code):
        return self._suspended.get(market_code, pd.DatetimeIndex([]))

    def minute_bars(self, market_code, trading_day):
        """One-minute bars of one trading day as a frame indexed by bar end time, with a
        `trading_date` column; None when the instrument did not trade that day."""
        day = pd.Timestamp(trading_day).normalize()
        key = (market_code, day)
        cached = self._minute_cache.get(key)
        if cached is not None or key in self._minute_cache:
            self._minute_cache.move_to_end(key)
            return cached
        frame = self._make_minute_bars(market_code, day)
        self._minute_cache[key] = frame
        if len(self._minute_cache) > _MINUTE_CACHE_SIZE:
            self._minute_cache.popitem(last=False)
        return frame

    def _make_minute_bars(self, market_code, day):
        if self.stored_minute_bars is not None:
            return self._stored_minute_bars_of(market_code, day)
        bars = self._day_bars.get(market_code)
        spec = self._specs.get(market_code)
        if bars is None or day not in bars.index:
            return None
        day_bar = bars.loc[day]
        if day_bar["volume"] == 0:
            return None
        prev_day = self.previous_trading_date(day)
        times, starts = bar_times(spec["trading_hours"], day, prev_day, spec["listed_date"])
        rng = rng_for(self.seed, market_code, day.toordinal())
        prev_oi = None
        if spec["type"] == "Future":
            pos = bars.index.get_loc(day)
            prev_oi = bars["open_interest"].iloc[pos - 1] if pos > 0 else None
        columns = _bars.generate_minute_bars(day_bar, spec, starts, len(times), rng, prev_oi)
        frame = pd.DataFrame(columns, index=pd.DatetimeIndex(times, name="datetime"))
        frame["trading_date"] = day
        return frame

    def _stored_minute_bars_of(self, market_code, day):
        if self._stored_minutes is None:
            self._stored_minutes = {key: frame.drop(columns="market_code").set_index("datetime")
                                    for key, frame in self.stored_minute_bars.groupby(["market_code", "trading_date"], sort=False)}
        frame = self._stored_minutes.get((market_code, day))
        return None if frame is None else frame.copy()

    def minute_window_frame(self, start=None, end=None, codes=None):
        """Every one-minute bar of the given trading days and codes as one long table."""
        start = pd.Timestamp(start or self.meta["start"])
        end = pd.Timestamp(end or self.meta["end"])
        frames = []
        for code in codes or self.codes():
            bars = self._day_bars.get(code)
            if bars is None:
                continue
            for day in bars.index[(bars.index >= start) & (bars.index <= end)]:
                frame = self.minute_bars(code, day)
                if frame is not None:
                    frames.append(frame.reset_index().assign(market_code=code))
        if not frames:
            return None
        return pd.concat(frames, ignore_index=True)

    # persistence -------------------------------------------------------------------------
    def save(self, path, include_minutes=False):
        from .store import save
        save(self, path, include_minutes=include_minutes)

    @classmethod
    def load(cls, path):
        from .store import load
        return load(path)
