"""The dataset object the data client and the gateway answer from."""
import collections
import datetime

import numpy as np
import pandas as pd

from . import bars as _bars
from . import store as _store
from .column_types import NANOSECONDS, conform, conform_dates
from .generator import DEFAULT_END, DEFAULT_SEED, DEFAULT_START, generate_tables, rng_for
from .schema import TABLE_NAMES  # noqa: F401  (callers import it from here too)
from .sessions import bar_times

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

    def __init__(self, tables, trading_dates, meta, minute_bars=None, imported_minute_bars=None):
        self.tables = {name: conform(table) for name, table in tables.items()}
        tables = self.tables
        self.trading_dates = conform_dates(trading_dates)
        self.meta = dict(meta)
        self.seed = int(meta["seed"])
        minute_bars, imported_minute_bars = conform(minute_bars), conform(imported_minute_bars)
        self.stored_minute_bars = minute_bars
        self._profiles = {row["market_code"]: row for row in tables["instruments"].to_dict("records")}
        self._day_bars = {code: frame.set_index("date").drop(columns="market_code")
                          for code, frame in tables["day_bars"].groupby("market_code", sort=False)}
        self._suspended = {code: pd.DatetimeIndex(frame["date"])
                           for code, frame in tables["suspensions"].groupby("market_code", sort=False)}
        self._minute_cache = collections.OrderedDict()
        self._stored_minutes = None
        self.imported_minute_bars = imported_minute_bars
        self._imported_minutes = self._minute_frames(imported_minute_bars)

    @classmethod
    def generate(cls, seed=DEFAULT_SEED, start=DEFAULT_START, end=DEFAULT_END, universe=None,
                 progress=None):
        """A generated dataset; `progress(stage, done, total)` follows the generation."""
        tables, trading_dates, meta = generate_tables(seed, start, end, universe, progress)
        return cls(tables, trading_dates, meta)

    def __getattr__(self, name):
        tables = self.__dict__.get("tables")
        if tables is not None and name in tables:
            return tables[name]
        raise AttributeError(name)

    # instruments -------------------------------------------------------------------------
    def profile(self, market_code):
        """The instrument's row of the instruments table (a dict), or None."""
        return self._profiles.get(market_code)

    def codes(self):
        return list(self._profiles)

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
        imported = self._imported_minutes.get((market_code, day))
        if imported is not None:
            return imported.copy()
        if self.stored_minute_bars is not None:
            return self._stored_minute_bars_of(market_code, day)
        columns = self._minute_columns(market_code, day)
        if columns is None:
            return None
        times = columns.pop("datetime")
        frame = pd.DataFrame(columns, index=pd.DatetimeIndex(times, name="datetime"))
        return frame

    def _minute_columns(self, market_code, day):
        """The one-minute bars of one day as numpy columns (with `datetime` and
        `trading_date`), or None when the instrument did not trade that day."""
        bars = self._day_bars.get(market_code)
        if bars is None:
            return None
        pos = bars.index.searchsorted(day)
        if pos == len(bars) or bars.index[pos] != day:
            return None
        day_bar = bars.iloc[pos]
        if day_bar["volume"] == 0:
            return None
        profile = self._profiles[market_code]
        times, starts = bar_times(profile["trading_hours"], day, self.previous_trading_date(day), profile["listed_date"])
        rng = rng_for(self.seed, market_code, day.toordinal())
        prev_oi = None
        if profile["type"] == "Future" and pos > 0:
            prev_oi = bars["open_interest"].iloc[pos - 1]
        columns = _bars.generate_minute_bars(day_bar, profile, starts, len(times), rng, prev_oi)
        # at nanoseconds on every pandas line (a Timestamp keeps the resolution it was made with)
        columns["trading_date"] = np.full(len(times), day.to_datetime64().astype(NANOSECONDS))
        columns["datetime"] = times
        return columns

    def minute_columns_of(self, market_code):
        """Column order of one instrument's one-minute frames."""
        columns = list(_bars.MINUTE_FIELDS)
        if self._profiles[market_code]["type"] == "Future":
            columns.append("open_interest")
        return columns + ["trading_date"]

    def _minute_frames(self, table):
        """{(code, trading day): frame indexed by bar end time} of a long minute table."""
        frames = {}
        if table is None:
            return frames
        for key, frame in table.groupby(["market_code", "trading_date"], sort=False):
            columns = self.minute_columns_of(key[0])
            frames[key] = frame.set_index("datetime")[columns]
        return frames

    def _stored_minute_bars_of(self, market_code, day):
        if self._stored_minutes is None:
            self._stored_minutes = self._minute_frames(self.stored_minute_bars)
        frame = self._stored_minutes.get((market_code, day))
        return None if frame is None else frame.copy()

    def minute_window_frame(self, start=None, end=None, codes=None):
        """Every one-minute bar of the given trading days and codes as one long table
        (columns market_code, datetime, then the bar fields), or None."""
        start = pd.Timestamp(start or self.meta["start"])
        end = pd.Timestamp(end or self.meta["end"])
        parts = collections.defaultdict(list)
        for code in codes or self.codes():
            bars = self._day_bars.get(code)
            if bars is None:
                continue
            for day in bars.index[(bars.index >= start) & (bars.index <= end)]:
                columns = self._minute_columns(code, day)
                if columns is None:
                    continue
                n = len(columns["datetime"])
                parts["market_code"].append(np.full(n, code, dtype=object))
                for name in ["datetime"] + _bars.MINUTE_FIELDS + ["open_interest", "trading_date"]:
                    parts[name].append(columns[name] if name in columns else np.full(n, np.nan))
        if not parts:
            return None
        return pd.DataFrame({name: np.concatenate(chunks) for name, chunks in parts.items()})

    # persistence -------------------------------------------------------------------------
    def save(self, path, include_minutes=False, progress=None):
        _store.save(self, path, include_minutes=include_minutes, progress=progress)

    @classmethod
    def load(cls, path):
        """The dataset of the store folder `path`; StoreError (a ValueError) naming the file
        and the defect when it does not hold a complete, well-formed store."""
        return cls(*_store.read(path))


def load(path):
    """The dataset of the store folder `path` (see `Dataset.load`)."""
    return Dataset.load(path)
